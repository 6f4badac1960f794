// URIs as the repository service receives them in requests. An accepted URI must be confined:
// its normalized form starts at the root, holds no empty, "." or ".." segment, no NUL and no
// private name, and is a fixed point (accepted again, unchanged). The log form of any URI holds
// no control byte and stays short.
//
// Input: the URI.
#include <string>

#include "common/names.h"
#include "fuzz/fuzz_support.h"
#include "service/uri.h"

namespace {

using kiv::service::ParsedUri;

void check_accepted(std::string_view uri, const ParsedUri& parsed) {
  KIV_FUZZ_CHECK(uri.size() <= kiv::service::kMaxUriLength);
  const std::string& n = parsed.normalized;
  KIV_FUZZ_CHECK(!n.empty() && n[0] == '/');
  KIV_FUZZ_CHECK(n.find('\0') == std::string::npos);
  KIV_FUZZ_CHECK(n.find("//") == std::string::npos);
  KIV_FUZZ_CHECK(n == "/" || n.back() != '/');
  KIV_FUZZ_CHECK(parsed.is_root() == (n == "/"));
  // The normalized form only drops one trailing "/".
  KIV_FUZZ_CHECK(uri == n || uri == n + "/");

  std::string joined;
  for (const std::string& s : parsed.segments) {
    KIV_FUZZ_CHECK(!s.empty() && s != "." && s != "..");
    KIV_FUZZ_CHECK(s.find('/') == std::string::npos);
    KIV_FUZZ_CHECK(!kiv::is_reserved_name(s));
    joined += "/" + s;
  }
  KIV_FUZZ_CHECK((joined.empty() ? "/" : joined) == n);
  KIV_FUZZ_CHECK("/" + parsed.relative() == n);
  if (!parsed.is_root()) {
    const std::string parent = parsed.parent_relative();
    KIV_FUZZ_CHECK((parent.empty() ? parsed.name() : parent + "/" + parsed.name()) ==
                   parsed.relative());
  }

  ParsedUri again;
  std::string why;
  KIV_FUZZ_CHECK(kiv::service::parse_uri(n, &again, &why));
  KIV_FUZZ_CHECK(again.normalized == n && again.segments == parsed.segments);
}

void check_printable(std::string_view uri) {
  const std::string shown = kiv::service::printable(uri);
  for (const char c : shown) {
    const auto b = static_cast<unsigned char>(c);
    KIV_FUZZ_CHECK(b >= 0x20 && b != 0x7f);
  }
  KIV_FUZZ_CHECK(shown.size() <= 4 * 200 + 3);
  KIV_FUZZ_CHECK(uri.size() > 200 || shown.size() >= uri.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view uri(reinterpret_cast<const char*>(data), size);
  ParsedUri parsed;
  std::string why;
  if (kiv::service::parse_uri(uri, &parsed, &why)) {
    check_accepted(uri, parsed);
  } else {
    KIV_FUZZ_CHECK(!why.empty());
  }
  check_printable(uri);
  return 0;
}
