// Lock tokens: their "opaquelocktoken:" text form, their order, and the supported-lock report.
#include <apr_uuid.h>

#include <cstring>

#include "locks/locks_internal.h"

namespace kiv::locks {

namespace {

constexpr char kTokenScheme[] = "opaquelocktoken:";
constexpr std::size_t kTokenSchemeLength = sizeof(kTokenScheme) - 1;

// The supportedlock property of every resource: an exclusive and a shared write lock. The host
// binds the prefix D to "DAV:".
constexpr char kSupportedLock[] =
    "\n"
    "<D:lockentry>\n"
    "<D:lockscope><D:exclusive/></D:lockscope>\n"
    "<D:locktype><D:write/></D:locktype>\n"
    "</D:lockentry>\n"
    "<D:lockentry>\n"
    "<D:lockscope><D:shared/></D:lockscope>\n"
    "<D:locktype><D:write/></D:locktype>\n"
    "</D:lockentry>\n";
static_assert(sizeof(kSupportedLock) - 1 == 212, "clients see exactly these bytes");

}  // namespace

// The same static text for every resource.
const char* get_supportedlock() {
  return kSupportedLock;
}

// The scheme must open the text exactly (case matters); what follows is whatever apr_uuid_parse
// accepts. The token comes from p.
dav_error* parse_locktoken(apr_pool_t* p, const char* char_token, dav_locktoken** locktoken_p) {
  if (std::strncmp(char_token, kTokenScheme, kTokenSchemeLength) != 0) {
    return lock_error(p, LockError::kUnknownTokenScheme);
  }
  auto* token = static_cast<dav_locktoken*>(apr_pcalloc(p, sizeof(dav_locktoken)));
  if (apr_uuid_parse(&token->uuid, char_token + kTokenSchemeLength) != APR_SUCCESS) {
    return lock_error(p, LockError::kBadToken);
  }
  *locktoken_p = token;
  return nullptr;
}

// "opaquelocktoken:" and the 36-character UUID, from p.
const char* format_locktoken(apr_pool_t* p, const dav_locktoken* locktoken) {
  char text[APR_UUID_FORMATTED_LENGTH + 1];
  apr_uuid_format(text, &locktoken->uuid);
  return apr_pstrcat(p, kTokenScheme, text, nullptr);
}

// The 16 UUID bytes in unsigned byte order.
int compare_locktoken(const dav_locktoken* lt1, const dav_locktoken* lt2) {
  return std::memcmp(lt1->uuid.data, lt2->uuid.data, sizeof(lt1->uuid.data));
}

}  // namespace kiv::locks
