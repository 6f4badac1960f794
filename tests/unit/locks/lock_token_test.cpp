// Lock tokens in their text form, their order, and the supported-lock report.
#include <apr_uuid.h>

#include <cstring>
#include <string>

#include "common/host.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "tests/support/module_test.h"

namespace {

class LockTokenTest : public kiv_test::AprTest {
 protected:
  dav_error* parse(const char* text, dav_locktoken** out) {
    return dav_kiv_hooks_locks.parse_locktoken(pool_, text, out);
  }
};

TEST_F(LockTokenTest, FormattedTokenParsesBackToAnEqualToken) {
  dav_locktoken token;
  apr_uuid_get(&token.uuid);
  const std::string text = dav_kiv_hooks_locks.format_locktoken(pool_, &token);
  EXPECT_EQ(text.size(), 52u);
  EXPECT_EQ(text.rfind("opaquelocktoken:", 0), 0u);

  dav_locktoken* parsed = nullptr;
  ASSERT_EQ(parse(text.c_str(), &parsed), nullptr);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(dav_kiv_hooks_locks.compare_locktoken(parsed, &token), 0);
}

TEST_F(LockTokenTest, BareSchemeIsAMalformedToken) {
  dav_locktoken* parsed = nullptr;
  dav_error* err = parse("opaquelocktoken:", &parsed);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_BAD_REQUEST);
  EXPECT_EQ(err->error_id, DAV_ERR_LOCK_PARSE_TOKEN);
  EXPECT_STREQ(err->desc, "The opaquelocktoken has an incorrect format and could not be parsed.");
  EXPECT_EQ(parsed, nullptr);
}

TEST_F(LockTokenTest, OtherSchemesAreUnknownStateTokens) {
  const char* uuid = "f81d4fae-7dec-11d0-a765-00a0c91e6bf6";
  for (const std::string& text :
       {std::string("urn:uuid:") + uuid, std::string("x opaquelocktoken:") + uuid,
        std::string("OpaqueLockToken:") + uuid, std::string(" opaquelocktoken:") + uuid,
        std::string("opaquelocktoken")}) {
    dav_locktoken* parsed = nullptr;
    dav_error* err = parse(text.c_str(), &parsed);
    ASSERT_NE(err, nullptr) << text;
    EXPECT_EQ(err->status, HTTP_BAD_REQUEST) << text;
    EXPECT_EQ(err->error_id, DAV_ERR_LOCK_UNK_STATE_TOKEN) << text;
    EXPECT_STREQ(err->desc,
                 "The lock token uses an unknown State-token format and could not be parsed.");
    EXPECT_EQ(parsed, nullptr);
  }
}

TEST_F(LockTokenTest, TokensOrderByUnsignedBytes) {
  dav_locktoken low = {};
  dav_locktoken high = {};
  low.uuid.data[15] = 0x01;
  high.uuid.data[0] = 0x80;
  EXPECT_LT(dav_kiv_hooks_locks.compare_locktoken(&low, &high), 0);
  EXPECT_GT(dav_kiv_hooks_locks.compare_locktoken(&high, &low), 0);
  EXPECT_EQ(dav_kiv_hooks_locks.compare_locktoken(&high, &high), 0);
}

TEST_F(LockTokenTest, SupportedLockIsOneConstant212ByteText) {
  dav_resource document = {};
  dav_resource collection = {};
  collection.collection = 1;
  collection.exists = 1;
  const char* a = dav_kiv_hooks_locks.get_supportedlock(&document);
  const char* b = dav_kiv_hooks_locks.get_supportedlock(&collection);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::strlen(a), 212u);
  EXPECT_STREQ(a,
               "\n<D:lockentry>\n<D:lockscope><D:exclusive/></D:lockscope>\n"
               "<D:locktype><D:write/></D:locktype>\n</D:lockentry>\n<D:lockentry>\n"
               "<D:lockscope><D:shared/></D:lockscope>\n<D:locktype><D:write/></D:locktype>\n"
               "</D:lockentry>\n");
}

}  // namespace
