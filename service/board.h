// The service's side of the change board (see wire/board.h): made at start, counted in around
// every request that may change the tree.
#ifndef KIV_SERVICE_BOARD_H_
#define KIV_SERVICE_BOARD_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "wire/board.h"

namespace kiv::service {

class ChangeBoard {
 public:
  // Makes the board at path (mode 0640, given to group unless that is -1), or takes over the one
  // a stopped service left there, and holds its flock. Every answer a client kept from an
  // earlier service is void from here on. Null with *why set when it cannot; *held tells that a
  // running service holds the board.
  static std::unique_ptr<ChangeBoard> open(const std::string& path, gid_t group, std::string* why,
                                           bool* held);
  // The file stays: a client that maps it sees the next service's first change.
  ~ChangeBoard();
  ChangeBoard(const ChangeBoard&) = delete;
  ChangeBoard& operator=(const ChangeBoard&) = delete;

  void begin_change();
  void end_change();

 private:
  ChangeBoard(UniqueFd fd, kiv::proto::Board* board) : fd_(std::move(fd)), board_(board) {}
  UniqueFd fd_;
  kiv::proto::Board* board_;
};

// Counts one request in as a change until its answer goes out (end_current) or, unanswered, until
// it ends; nothing without a board. One at a time per thread.
class ChangeScope {
 public:
  explicit ChangeScope(ChangeBoard* board) : board_(board) {
    if (board_ == nullptr) return;
    board_->begin_change();
    current_ = this;
  }
  ~ChangeScope() {
    end();
    if (current_ == this) current_ = nullptr;
  }
  ChangeScope(const ChangeScope&) = delete;
  ChangeScope& operator=(const ChangeScope&) = delete;

  // Counts the change of this thread's request out, once: called before its answer is sent, so
  // that a client that has the answer finds the board steady.
  static void end_current() {
    if (current_ != nullptr) current_->end();
  }

 private:
  void end() {
    if (board_ != nullptr) board_->end_change();
    board_ = nullptr;
  }

  ChangeBoard* board_;
  static thread_local ChangeScope* current_;
};

}  // namespace kiv::service

#endif  // KIV_SERVICE_BOARD_H_
