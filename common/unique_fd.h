// Ownership of file descriptors: one RAII type for every descriptor the system opens, in the
// module, the client and the service alike.
#ifndef KIV_COMMON_UNIQUE_FD_H_
#define KIV_COMMON_UNIQUE_FD_H_

namespace kiv {

// Closes fd when it is valid; owns one descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  // Closes the descriptor now and tells whether close(2) succeeded (errno tells why it did not);
  // true when none is held. For files whose last write errors only close reports.
  bool close();

 private:
  int fd_ = -1;
};

}  // namespace kiv

#endif  // KIV_COMMON_UNIQUE_FD_H_
