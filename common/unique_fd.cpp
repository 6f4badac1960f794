#include "common/unique_fd.h"

#include <unistd.h>

namespace kiv {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::close() {
  if (fd_ < 0) return true;
  const int fd = release();
  return ::close(fd) == 0;
}

}  // namespace kiv
