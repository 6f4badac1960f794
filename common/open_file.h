// Ownership of APR files: the RAII holder for every apr_file_t the module opens.
#ifndef KIV_COMMON_OPEN_FILE_H_
#define KIV_COMMON_OPEN_FILE_H_

#include <apr_file_io.h>

namespace kiv {

// Closes an APR file on every path out of the scope that opened it. The file's memory belongs to
// the pool it was opened from; only the descriptor is released here.
class OpenFile {
 public:
  OpenFile() = default;
  ~OpenFile() {
    if (file_ != nullptr) apr_file_close(file_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Where apr_file_open puts the file it opens.
  apr_file_t** out() { return &file_; }
  apr_file_t* get() const { return file_; }

 private:
  apr_file_t* file_ = nullptr;
};

}  // namespace kiv

#endif  // KIV_COMMON_OPEN_FILE_H_
