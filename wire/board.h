// The change board: a small file beside the service's Unix socket through which a client on the
// same host learns, without a round trip, whether anything in the tree may have changed since it
// last asked the service.
//
// The service that serves the tree alone (no shared tree) makes the board at start and holds an
// exclusive flock on it for as long as it runs: a client whose shared flock on it is refused
// knows that the service is running. Around every request that may change the tree the service
// counts the change in: `changing` and then `generation` go up before the change, and
// `generation` and then `changing` (down) after it, before its answer goes out. A client that
// saw the same generation, with nothing changing, before and after an answer of the service, may
// keep that answer for as long as the generation stays the same and the service runs.
#ifndef KIV_WIRE_BOARD_H_
#define KIV_WIRE_BOARD_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::proto {

// The board of the service listening at socket_path.
inline std::string board_path(std::string_view socket_path) {
  return std::string(socket_path) + ".board";
}

inline constexpr std::uint64_t kBoardMagic = 0x6b69762d626f6172;  // "kiv-boar"
inline constexpr std::size_t kBoardSize = 4096;

// The board's bytes, shared between processes: lock-free atomics only.
struct Board {
  std::uint64_t magic;
  std::atomic<std::uint64_t> generation;
  std::atomic<std::uint64_t> changing;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(Board) <= kBoardSize);

}  // namespace kiv::proto

#endif  // KIV_WIRE_BOARD_H_
