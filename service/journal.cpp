#include "service/journal.h"

#include <limits>

#include "common/names.h"
#include "wire/protocol.h"

namespace kiv::service {

void Checksum::update(std::string_view bytes) {
  std::uint64_t h = h_;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  h_ = h;
}

void put_u64(char* out, std::uint64_t v) {
  kiv::proto::put_u32(out, static_cast<std::uint32_t>(v >> 32));
  kiv::proto::put_u32(out + 4, static_cast<std::uint32_t>(v));
}

std::uint64_t get_u64(const char* in) {
  return (std::uint64_t{kiv::proto::get_u32(in)} << 32) | kiv::proto::get_u32(in + 4);
}

std::string encode_journal_header(const JournalHeader& h) {
  std::string out(h.staged() ? kJournalStagedFixedSize : kJournalFixedSize, '\0');
  out.replace(0, 8, h.staged() ? kJournalStagedMagic : kJournalMagic);
  put_u64(out.data() + 8, h.device);
  put_u64(out.data() + 16, h.inode);
  kiv::proto::put_u32(out.data() + 24, static_cast<std::uint32_t>(h.path.size()));
  put_u64(out.data() + 28, h.content_length);
  if (h.staged()) {
    put_u64(out.data() + 36, h.source_device);
    put_u64(out.data() + 44, h.source_inode);
    kiv::proto::put_u32(out.data() + 52, static_cast<std::uint32_t>(h.source.size()));
  }
  out.append(h.path);
  out.append(h.source);
  return out;
}

std::string encode_journal_trailer(const Checksum& sum) {
  std::string out(kJournalChecksumSize, '\0');
  put_u64(out.data(), sum.value());
  return out;
}

std::string encode_journal_record(const JournalHeader& h, std::string_view content) {
  std::string out = encode_journal_header(h);
  out.append(content);
  Checksum sum;
  sum.update(out);
  out.append(encode_journal_trailer(sum));
  return out;
}

JournalParse parse_journal_header(std::string_view bytes, JournalHeader* out,
                                  std::size_t* header_size) {
  *header_size = 0;
  if (bytes.size() < kJournalFixedSize) return JournalParse::kTruncated;
  const std::string_view magic = bytes.substr(0, 8);
  const bool staged = magic == kJournalStagedMagic;
  if (!staged && magic != kJournalMagic) return JournalParse::kMalformed;
  const std::uint32_t path_len = kiv::proto::get_u32(bytes.data() + 24);
  if (path_len == 0 || path_len > kJournalMaxPath) return JournalParse::kMalformed;
  const std::uint64_t content_len = get_u64(bytes.data() + 28);
  if (content_len > std::numeric_limits<std::uint64_t>::max() / 2) return JournalParse::kMalformed;
  const std::size_t fixed = staged ? kJournalStagedFixedSize : kJournalFixedSize;
  if (bytes.size() < fixed) return JournalParse::kTruncated;
  const std::uint32_t source_len = staged ? kiv::proto::get_u32(bytes.data() + 52) : 0;
  if (staged && (source_len == 0 || source_len > kJournalMaxSource)) {
    return JournalParse::kMalformed;
  }
  if (bytes.size() - fixed < std::size_t{path_len} + source_len) return JournalParse::kTruncated;
  const std::string_view source = bytes.substr(fixed + path_len, source_len);
  // Only a private name inside the document's own directory can be staged content.
  if (staged &&
      (source.substr(0, kiv::kPrivatePrefix.size()) != kiv::kPrivatePrefix ||
       source.find('/') != std::string_view::npos || source.find('\0') != std::string_view::npos)) {
    return JournalParse::kMalformed;
  }
  out->device = get_u64(bytes.data() + 8);
  out->inode = get_u64(bytes.data() + 16);
  out->path.assign(bytes.substr(fixed, path_len));
  out->content_length = content_len;
  out->source.assign(source);
  out->source_device = staged ? get_u64(bytes.data() + 36) : 0;
  out->source_inode = staged ? get_u64(bytes.data() + 44) : 0;
  *header_size = fixed + path_len + source_len;
  return JournalParse::kOk;
}

std::uint64_t journal_record_size(const JournalHeader& h) {
  if (h.staged()) {
    return kJournalStagedFixedSize + h.path.size() + h.source.size() + kJournalChecksumSize;
  }
  return kJournalFixedSize + h.path.size() + h.content_length + kJournalChecksumSize;
}

}  // namespace kiv::service
