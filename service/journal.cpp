#include "service/journal.h"

#include <limits>

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
  std::string out(kJournalFixedSize, '\0');
  out.replace(0, kJournalMagic.size(), kJournalMagic);
  put_u64(out.data() + 8, h.device);
  put_u64(out.data() + 16, h.inode);
  kiv::proto::put_u32(out.data() + 24, static_cast<std::uint32_t>(h.path.size()));
  put_u64(out.data() + 28, h.content_length);
  out.append(h.path);
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
  if (bytes.substr(0, kJournalMagic.size()) != kJournalMagic) return JournalParse::kMalformed;
  const std::uint32_t path_len = kiv::proto::get_u32(bytes.data() + 24);
  if (path_len == 0 || path_len > kJournalMaxPath) return JournalParse::kMalformed;
  const std::uint64_t content_len = get_u64(bytes.data() + 28);
  if (content_len > std::numeric_limits<std::uint64_t>::max() / 2) return JournalParse::kMalformed;
  if (bytes.size() - kJournalFixedSize < path_len) return JournalParse::kTruncated;
  out->device = get_u64(bytes.data() + 8);
  out->inode = get_u64(bytes.data() + 16);
  out->path.assign(bytes.substr(kJournalFixedSize, path_len));
  out->content_length = content_len;
  *header_size = kJournalFixedSize + path_len;
  return JournalParse::kOk;
}

std::uint64_t journal_record_size(const JournalHeader& h) {
  return kJournalFixedSize + h.path.size() + h.content_length + kJournalChecksumSize;
}

}  // namespace kiv::service
