#include "client/board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kiv::client {
namespace {

constexpr auto kLookAgain = std::chrono::seconds(1);

// Whether the service that made the board still holds it.
bool held(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

}  // namespace

BoardReader::~BoardReader() {
  for (const View* v : views_) {
    ::munmap(const_cast<kiv::proto::Board*>(v->board), kiv::proto::kBoardSize);
    ::close(v->fd);
    delete v;
  }
}

const BoardReader::View* BoardReader::view(bool service_gone) {
  const View* v = current_.load(std::memory_order_acquire);
  if (v != nullptr && !service_gone) return v;
  std::lock_guard<std::mutex> lock(mu_);
  v = current_.load(std::memory_order_acquire);
  const auto now = std::chrono::steady_clock::now();
  if (now < next_look_) return v;
  next_look_ = now + kLookAgain;
  struct stat st {};
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return v;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) < kiv::proto::kBoardSize ||
      (v != nullptr && v->device == st.st_dev && v->inode == st.st_ino)) {
    ::close(fd);
    return v;
  }
  void* map = ::mmap(nullptr, kiv::proto::kBoardSize, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    ::close(fd);
    return v;
  }
  const auto* board = static_cast<const kiv::proto::Board*>(map);
  v = new View{fd, board, static_cast<std::uint64_t>(st.st_dev),
               static_cast<std::uint64_t>(st.st_ino)};
  views_.push_back(v);
  current_.store(v, std::memory_order_release);
  return v;
}

bool BoardReader::generation(std::uint64_t* out, bool* steady) {
  const View* v = view(false);
  if (v == nullptr) return false;
  if (!held(v->fd)) {
    v = view(true);
    if (v == nullptr || !held(v->fd)) return false;
  }
  if (v->board->magic != kiv::proto::kBoardMagic) return false;
  *out = v->board->generation.load();
  *steady = v->board->changing.load() == 0;
  return true;
}

}  // namespace kiv::client
