// A lock-null list as it is read from a directory's state directory, possibly cut short or
// overwritten, and a name to take out of it or add to it. Removal must never leave the list,
// must take out exactly the first equal name (as a plain model of the list says) and keep every
// other byte, a damaged tail included; the paths of one directory's list must name one file.
//
// Input: two parts (see fuzz_support.h): the list, then a name.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "provider/locknull_list.h"

namespace {

constexpr std::size_t kNamesTried = 8;

// The list as whole names and the bytes after the last NUL.
struct Model {
  std::vector<std::string> names;
  std::string tail;

  explicit Model(std::string_view list) {
    std::size_t nul = 0;
    while ((nul = list.find('\0')) != std::string_view::npos) {
      names.emplace_back(list.substr(0, nul));
      list.remove_prefix(nul + 1);
    }
    tail = std::string(list);
  }

  std::string bytes() const {
    std::string out;
    for (const std::string& n : names) {
      out += n;
      out.push_back('\0');
    }
    return out + tail;
  }

  bool remove_first(std::string_view name) {
    for (auto it = names.begin(); it != names.end(); ++it) {
      if (*it == name) {
        names.erase(it);
        return true;
      }
    }
    return false;
  }
};

// Runs locknull_remove_first on an allocation of exactly the list's size and checks it against
// the model.
void check_remove(std::string_view list, std::string_view name) {
  std::vector<char> buf(list.begin(), list.end());
  std::size_t size = buf.size();
  Model model(list);
  const bool removed = kiv::locknull_remove_first(buf.data(), &size, name);
  KIV_FUZZ_CHECK(removed == model.remove_first(name));
  if (!removed) {
    KIV_FUZZ_CHECK(size == list.size() && std::string_view(buf.data(), size) == list);
    return;
  }
  KIV_FUZZ_CHECK(size == list.size() - kiv::locknull_entry_size(name));
  KIV_FUZZ_CHECK(std::string_view(buf.data(), size) == model.bytes());
}

void check_paths(std::string_view dirpath) {
  const std::string read = kiv::locknull_read_path(dirpath);
  static constexpr std::string_view kFile = "/.DAV/.locknull";
  KIV_FUZZ_CHECK(read.size() >= kFile.size() &&
                 read.compare(read.size() - kFile.size(), kFile.size(), kFile) == 0);
  // Written under the directory path itself, with or without its trailing "/", or with no
  // uploads path at all: the file written is the file read.
  KIV_FUZZ_CHECK(kiv::locknull_write_path(dirpath, dirpath) == read);
  KIV_FUZZ_CHECK(kiv::locknull_write_path("", dirpath) == read);
  if (!dirpath.empty() && dirpath.back() != '/') {
    const std::string slashed = std::string(dirpath) + "/";
    KIV_FUZZ_CHECK(kiv::locknull_read_path(slashed) == read);
    KIV_FUZZ_CHECK(kiv::locknull_write_path(slashed, dirpath) == read);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = kiv::fuzz::split_parts(data, size, 2);
  const std::string_view list = parts[0];
  // Names never hold a NUL: a resource name is a path segment.
  std::string_view name = parts[1];
  name = name.substr(0, name.find('\0'));

  check_remove(list, name);
  // The names the list holds (the first few and the last, to keep each run short), and the
  // empty name.
  Model model(list);
  for (std::size_t i = 0; i < model.names.size(); ++i) {
    if (i < kNamesTried || i + 1 == model.names.size()) check_remove(list, model.names[i]);
  }
  check_remove(list, "");

  // An added name is the last one in the list, and taking it out again leaves what was there
  // (the first copy goes, so the model decides which).
  std::vector<char> grown(list.size() + kiv::locknull_entry_size(name));
  if (!list.empty()) std::memcpy(grown.data(), list.data(), list.size());
  const std::size_t grown_size = kiv::locknull_append(grown.data(), list.size(), name);
  KIV_FUZZ_CHECK(grown_size == grown.size());
  const std::string_view appended(grown.data(), grown_size);
  KIV_FUZZ_CHECK(appended.substr(0, list.size()) == list && appended.back() == '\0');
  check_remove(appended, name);

  check_paths(name);
  return 0;
}
