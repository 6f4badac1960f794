#include "common/file_io.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kiv {

bool pwrite_all(int fd, std::string_view data, off_t offset) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return true;
}

ssize_t pread_full(int fd, char* buf, std::size_t n, off_t offset) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, buf + got, n - got, offset + static_cast<off_t>(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool copy_contents(int in, int out) {
  struct stat st {};
  if (::fstat(in, &st) != 0) return false;
  off_t in_off = 0;
  off_t out_off = 0;
  bool kernel_copy = true;
  while (in_off < st.st_size && kernel_copy) {
    const ssize_t n = ::copy_file_range(in, &in_off, out, &out_off,
                                        static_cast<std::size_t>(st.st_size - in_off), 0);
    if (n > 0) continue;
    if (n == 0) return true;  // the file got shorter meanwhile: what is there is copied
    if (errno == EINTR) continue;
    // Not offered between these files (another file system, an old kernel): copy by hand.
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return false;
    kernel_copy = false;
  }
  if (kernel_copy) return true;
  char buf[64 * 1024];
  for (;;) {
    const ssize_t n = pread_full(in, buf, sizeof buf, in_off);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!pwrite_all(out, std::string_view(buf, static_cast<std::size_t>(n)), out_off)) {
      return false;
    }
    in_off += n;
    out_off += n;
  }
}

std::string_view parent_directory(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool flock_within(int fd, int operation, int wait_ms) {
  // Short steps: a rewrite of a small document takes milliseconds.
  constexpr int kStepMs = 5;
  for (int waited = 0;; waited += kStepMs) {
    if (::flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || waited >= wait_ms) return false;
    ::usleep(kStepMs * 1000);
  }
}

}  // namespace kiv
