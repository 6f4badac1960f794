#include "common/tree_id.h"

#include <atomic>

namespace kiv {

namespace {

std::atomic<bool> id_set{false};
std::atomic<std::uint64_t> tree_id{0};

}  // namespace

void set_tree_id(std::uint64_t id) {
  tree_id.store(id, std::memory_order_relaxed);
  id_set.store(true, std::memory_order_release);
}

void clear_tree_id() {
  id_set.store(false, std::memory_order_release);
}

bool tree_id_set() {
  return id_set.load(std::memory_order_acquire);
}

std::uint64_t identity_device(std::uint64_t device) {
  return tree_id_set() ? tree_id.load(std::memory_order_relaxed) : device;
}

}  // namespace kiv
