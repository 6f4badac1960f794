// Checks made on a database file before the DBM library is let at it: is it whole, and is there
// room to write to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/beneath.h"
#include "common/file_io.h"
#include "common/unique_fd.h"
#include "dbm/dbm_internal.h"
#include "dbm/state_dir.h"

namespace kiv {

namespace {

// Free space a store leaves untouched on top of twice its record: pages the DBM library may add
// or split while it writes the record.
constexpr std::uint64_t kStoreHeadroom = std::uint64_t{256} * 1024;

// The header of a Berkeley DB hash file, as far as it is checked.
constexpr std::size_t kHashHeaderSize = 36;
constexpr std::uint32_t kHashMagic = 0x061561;
constexpr std::size_t kMagicAt = 12;
constexpr std::size_t kPageSizeAt = 20;
constexpr std::size_t kLastPageAt = 32;

std::uint32_t u32_at(const unsigned char* header, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, header + at, sizeof v);
  return v;
}

}  // namespace

// The DBM library hangs or fails in odd ways on a file cut short, so a Berkeley DB hash file is
// checked first: its header names its page size and its last page, and the file must hold that
// many whole pages.
FileState file_state(int dir, const char* name) {
  unsigned char header[kHashHeaderSize];
  struct stat st;
  {
    const UniqueFd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ELOOP) return FileState::kLink;
      return errno == ENOENT ? FileState::kMissing : FileState::kWhole;
    }
    const bool read = ::fstat(fd.get(), &st) == 0 &&
                      pread_full(fd.get(), reinterpret_cast<char*>(header), sizeof header, 0) ==
                          static_cast<ssize_t>(sizeof header);
    if (!read) return FileState::kDamaged;  // not even a header
  }
  if (u32_at(header, kMagicAt) != kHashMagic) return FileState::kWhole;
  const std::uint64_t page = u32_at(header, kPageSizeAt);
  const std::uint64_t pages = std::uint64_t{u32_at(header, kLastPageAt)} + 1;
  if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return FileState::kDamaged;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  return size % page == 0 && size >= pages * page ? FileState::kWhole : FileState::kDamaged;
}

FileState database_state(apr_pool_t* p, int dir, const char* name) {
  const char* first = nullptr;
  const char* second = nullptr;
  dbm_used_names(p, name, &first, &second);
  if (second == nullptr) return file_state(dir, first);
  struct stat st;
  switch (stat_entry(dir, first, &st)) {
    case 0:
      return FileState::kWhole;
    case ELOOP:
      return FileState::kLink;
    default:
      return FileState::kMissing;
  }
}

// The DBM library writes its pages when the database closes, where a failure (a full disk) can
// no longer be reported and leaves a database that holds pages it never wrote. So a store is
// refused up front when the file system has no room for it.
bool room_to_store(int dir, apr_size_t bytes) {
  struct statvfs st;
  if (::fstatvfs(dir, &st) != 0) return true;
  const std::uint64_t free_bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return free_bytes >= kStoreHeadroom + 2 * static_cast<std::uint64_t>(bytes);
}

}  // namespace kiv
