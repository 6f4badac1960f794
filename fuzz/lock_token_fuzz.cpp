// Lock token text as clients send it in If and Lock-Token headers. Parsing must refuse every
// other scheme with the unknown-scheme error, refuse a malformed UUID with the parse error and
// leave the out parameter alone when it refuses; a token it accepts formats to the canonical text
// of the same 16 bytes (the input up to letter case and separators), which parses back to an
// equal token.
//
// Input: the token text (cut at its first NUL, as the host hands it over).
#include <apr_general.h>
#include <apr_uuid.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/host.h"
#include "fuzz/fuzz_support.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"

namespace {

constexpr char kScheme[] = "opaquelocktoken:";
constexpr std::size_t kSchemeLength = sizeof(kScheme) - 1;
constexpr std::size_t kTextLength = kSchemeLength + APR_UUID_FORMATTED_LENGTH;

apr_pool_t* pool = nullptr;

// Whether text is the formatted token apart from letter case and the four separator places,
// where APR's parser takes a hex digit as well as a "-" (it reads the digits around them only).
bool same_token_text(const char* formatted, const char* text) {
  for (std::size_t i = 0; i < kTextLength; ++i) {
    const std::size_t at = i - kSchemeLength;
    if (i >= kSchemeLength && (at == 8 || at == 13 || at == 18 || at == 23)) continue;
    if (std::tolower(static_cast<unsigned char>(formatted[i])) !=
        std::tolower(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  apr_initialize();
  std::atexit(apr_terminate);
  apr_pool_create(&pool, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly the text and its NUL, so that a read beyond the NUL is seen.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t length = std::strlen(text.c_str());
  char* token_text = new char[length + 1];
  std::memcpy(token_text, text.c_str(), length + 1);

  dav_locktoken sentinel;
  dav_locktoken* parsed = &sentinel;
  dav_error* err = dav_kiv_hooks_locks.parse_locktoken(pool, token_text, &parsed);
  const bool right_scheme = std::strncmp(token_text, kScheme, kSchemeLength) == 0;
  if (err != nullptr) {
    KIV_FUZZ_CHECK(parsed == &sentinel);
    KIV_FUZZ_CHECK(err->status == HTTP_BAD_REQUEST);
    KIV_FUZZ_CHECK(err->error_id ==
                   (right_scheme ? DAV_ERR_LOCK_PARSE_TOKEN : DAV_ERR_LOCK_UNK_STATE_TOKEN));
    KIV_FUZZ_CHECK(err->desc != nullptr);
  } else {
    KIV_FUZZ_CHECK(right_scheme && parsed != &sentinel && parsed != nullptr);
    KIV_FUZZ_CHECK(length >= kTextLength);
    const char* formatted = dav_kiv_hooks_locks.format_locktoken(pool, parsed);
    KIV_FUZZ_CHECK(std::strlen(formatted) == kTextLength);
    KIV_FUZZ_CHECK(same_token_text(formatted, token_text));
    dav_locktoken* again = nullptr;
    KIV_FUZZ_CHECK(dav_kiv_hooks_locks.parse_locktoken(pool, formatted, &again) == nullptr);
    KIV_FUZZ_CHECK(dav_kiv_hooks_locks.compare_locktoken(again, parsed) == 0);
  }
  delete[] token_text;
  apr_pool_clear(pool);
  return 0;
}
