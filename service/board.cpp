#include "service/board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>

namespace kiv::service {
namespace {

// A client holds its shared flock on the board for a moment only; a refusal that lasts this
// long is a running service's.
constexpr int kTakeOverTries = 200;
constexpr auto kTakeOverPause = std::chrono::milliseconds(10);

bool take_flock(int fd) {
  for (int i = 0; i < kTakeOverTries; ++i) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    std::this_thread::sleep_for(kTakeOverPause);
  }
  return false;
}

}  // namespace

std::unique_ptr<ChangeBoard> ChangeBoard::open(const std::string& path, gid_t group,
                                               std::string* why, bool* held) {
  *held = false;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "cannot open the board " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!take_flock(fd.get())) {
    *why = "the board " + path + " is held by a running service";
    *held = true;
    return nullptr;
  }
  if ((group != static_cast<gid_t>(-1) && ::fchown(fd.get(), static_cast<uid_t>(-1), group) != 0) ||
      ::fchmod(fd.get(), 0640) != 0 ||
      (static_cast<std::size_t>(st.st_size) < kiv::proto::kBoardSize &&
       ::ftruncate(fd.get(), kiv::proto::kBoardSize) != 0)) {
    *why = "cannot set up the board " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  void* map =
      ::mmap(nullptr, kiv::proto::kBoardSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) {
    *why = "cannot map the board " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  auto* board = static_cast<kiv::proto::Board*>(map);
  // A service that stopped in the middle of a change left it counted; none is under way now.
  board->changing.store(0);
  if (board->magic == kiv::proto::kBoardMagic) {
    board->generation.fetch_add(2);
  } else {
    // A new board starts where no board before it at this path is likely to have been.
    board->generation.store(std::random_device()() * std::uint64_t{0x100000001} ^
                            static_cast<std::uint64_t>(st.st_ino) << 20);
    board->magic = kiv::proto::kBoardMagic;
  }
  return std::unique_ptr<ChangeBoard>(new ChangeBoard(std::move(fd), board));
}

thread_local ChangeScope* ChangeScope::current_ = nullptr;

ChangeBoard::~ChangeBoard() {
  ::munmap(board_, kiv::proto::kBoardSize);
}

void ChangeBoard::begin_change() {
  board_->changing.fetch_add(1);
  board_->generation.fetch_add(1);
}

void ChangeBoard::end_change() {
  board_->generation.fetch_add(1);
  board_->changing.fetch_sub(1);
}

}  // namespace kiv::service
