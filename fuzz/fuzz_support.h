// What the fuzz targets share: one input cut into several byte strings, and a check that stops
// the run (as a crash that libFuzzer records with the input) when an invariant does not hold.
//
// Parts: an input meant as n parts starts with n - 1 lengths (16 bits each, little-endian), then
// holds the parts back to back; a length that runs past the end is cut at the end, the last part
// takes whatever remains. Every byte string is therefore a valid input, and a mutation of a
// length only moves the cut. The seed generator writes inputs with join_parts.
//
// Thread-safety: the functions are pure.
#ifndef KIV_FUZZ_FUZZ_SUPPORT_H_
#define KIV_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant does not hold: %s\n", file, line, what);
  std::abort();
}

// Views into data; they live as long as the input.
inline std::vector<std::string_view> split_parts(const std::uint8_t* data, std::size_t size,
                                                 std::size_t n) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  std::vector<std::size_t> lengths;
  std::size_t pos = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    std::size_t len = 0;
    if (size - pos >= 2) {
      len = data[pos] | (std::size_t{data[pos + 1]} << 8);
      pos += 2;
    } else {
      pos = size;
    }
    lengths.push_back(len);
  }
  std::vector<std::string_view> parts;
  for (std::size_t len : lengths) {
    const std::size_t take = len < size - pos ? len : size - pos;
    parts.emplace_back(bytes + pos, take);
    pos += take;
  }
  parts.emplace_back(bytes + pos, size - pos);
  return parts;
}

// The input that split_parts cuts into parts (all but the last shorter than 64 KiB).
inline std::string join_parts(std::initializer_list<std::string_view> parts) {
  std::string out;
  std::size_t i = 0;
  for (std::string_view p : parts) {
    if (++i == parts.size()) break;
    out.push_back(static_cast<char>(p.size() & 0xff));
    out.push_back(static_cast<char>((p.size() >> 8) & 0xff));
  }
  for (std::string_view p : parts) out.append(p);
  return out;
}

}  // namespace kiv::fuzz

#define KIV_FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::kiv::fuzz::check_failed(#cond, __FILE__, __LINE__))

#endif  // KIV_FUZZ_FUZZ_SUPPORT_H_
