// A client's view of the change board of a service on this host (see wire/board.h).
//
// Thread-safe. The board is opened at the first question; while its service does not run, the
// path is looked at again at most once a second, so that a board made anew is found.
#ifndef KIV_CLIENT_BOARD_H_
#define KIV_CLIENT_BOARD_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "wire/board.h"

namespace kiv::client {

class BoardReader {
 public:
  explicit BoardReader(std::string path) : path_(std::move(path)) {}
  // No thread may be asking any more.
  ~BoardReader();
  BoardReader(const BoardReader&) = delete;
  BoardReader& operator=(const BoardReader&) = delete;

  // The board's generation, and in *steady whether no change is under way, while its service
  // runs. False when there is no board to read or its service is not running: nothing the
  // service answered may then be kept or used again.
  bool generation(std::uint64_t* out, bool* steady);

 private:
  struct View {
    int fd;
    const kiv::proto::Board* board;
    std::uint64_t device;
    std::uint64_t inode;
  };
  // The board to read, opened (again) where the one in hand is not its service's; null if none.
  const View* view(bool service_gone);

  const std::string path_;
  std::mutex mu_;
  // Views are unmapped and closed only with the reader: a thread may hold one while another is
  // opened.
  std::atomic<const View*> current_{nullptr};
  std::vector<const View*> views_;
  std::chrono::steady_clock::time_point next_look_{};
};

}  // namespace kiv::client

#endif  // KIV_CLIENT_BOARD_H_
