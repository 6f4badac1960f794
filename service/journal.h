// The replace journal: one file per document being rewritten in place, holding the new content,
// or naming a synced file that holds it, so that an interrupted rewrite can be completed at the
// next start.
//
// Record layouts (integers big-endian). With the content inside:
//   magic "KIVJRNL1" (8) | device (8) | inode (8) | path length (4) | content length (8)
//   | path (relative to the root, no leading "/") | content | checksum (8)
// With the content in a staged file beside the document:
//   magic "KIVJRNL2" (8) | device (8) | inode (8) | path length (4) | content length (8)
//   | source device (8) | source inode (8) | source length (4) | path | source | checksum (8)
// The source is the staged file's name in the document's directory (a private name, see
// kiv::kPrivatePrefix); its identity and its size (the content length) must match for the
// record to be completed from it. The checksum is 64-bit FNV-1a over every byte before it. A
// record is complete when the file is exactly as long as its header says and the checksum
// matches; anything else is dropped. Pure functions; thread-safe.
#ifndef KIV_SERVICE_JOURNAL_H_
#define KIV_SERVICE_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::service {

inline constexpr std::string_view kJournalMagic = "KIVJRNL1";
inline constexpr std::string_view kJournalStagedMagic = "KIVJRNL2";
inline constexpr std::size_t kJournalFixedSize = 8 + 8 + 8 + 4 + 8;
inline constexpr std::size_t kJournalStagedFixedSize = kJournalFixedSize + 8 + 8 + 4;
inline constexpr std::size_t kJournalChecksumSize = 8;
inline constexpr std::size_t kJournalMaxPath = 4096;
inline constexpr std::size_t kJournalMaxSource = 255;
// The longest header of either layout, paths included.
inline constexpr std::size_t kJournalMaxHeader =
    kJournalStagedFixedSize + kJournalMaxPath + kJournalMaxSource;

struct JournalHeader {
  std::uint64_t device = 0;  // identity of the document being rewritten: it is completed
  std::uint64_t inode = 0;   // only while the same file still sits at path
  std::string path;
  std::uint64_t content_length = 0;
  // Set in a record whose content is staged: the staged file's name beside the document, and
  // its identity. Empty in a record that holds its content.
  std::string source;
  std::uint64_t source_device = 0;
  std::uint64_t source_inode = 0;

  bool staged() const { return !source.empty(); }
};

class Checksum {
 public:
  void update(std::string_view bytes);
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ull;
};

void put_u64(char* out, std::uint64_t v);
std::uint64_t get_u64(const char* in);

// The header and path bytes of a record (of the staged layout when h.staged()).
std::string encode_journal_header(const JournalHeader& h);

// The trailer of a record whose header and content have been fed to sum.
std::string encode_journal_trailer(const Checksum& sum);

// A whole record, for small contents and tests; a staged record holds no content.
std::string encode_journal_record(const JournalHeader& h, std::string_view content);

enum class JournalParse { kOk, kTruncated, kMalformed };

// Parses the header at the start of bytes (which may hold more), of either layout. *header_size
// is the size of the fixed part and the names. kMalformed for a wrong magic, an empty or
// overlong path, a source that is no private name of one segment, or lengths that overflow.
JournalParse parse_journal_header(std::string_view bytes, JournalHeader* out,
                                  std::size_t* header_size);

// The size a complete record with this header has (a staged one holds no content).
std::uint64_t journal_record_size(const JournalHeader& h);

}  // namespace kiv::service

#endif  // KIV_SERVICE_JOURNAL_H_
