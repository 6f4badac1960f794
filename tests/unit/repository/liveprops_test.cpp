// Live properties: values, formats, and the executable patch hooks called directly.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common/host.h"
#include "provider/resource.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"
#include "tests/support/module_test.h"

namespace {

constexpr const char* kApacheProps = "http://apache.org/dav/props/";
constexpr int kExecutable = 1;

class LivePropsTest : public kiv_test::AprTest {
 protected:
  void SetUp() override {
    AprTest::SetUp();
    resource_ = kiv_test::make_resource(pool_, "/nonexistent/doc.txt", false, "/doc.txt");
    info_ = resource_->info;
  }

  const dav_hooks_liveprop* hooks() const { return dav_kiv_liveprop_group.hooks; }

  // Parses one property element; its private data names the given property id.
  apr_xml_elem* element(const std::string& inner, int propid = kExecutable) {
    const std::string doc =
        std::string("<A:executable xmlns:A=\"") + kApacheProps + "\">" + inner + "</A:executable>";
    apr_xml_doc* parsed = kiv_test::parse_xml(pool_, doc);
    auto* priv = static_cast<dav_elem_private*>(apr_pcalloc(pool_, sizeof(dav_elem_private)));
    priv->propid = propid;
    parsed->root->priv = priv;
    return parsed->root;
  }

  std::string insert(int propid, dav_prop_insert what, dav_prop_insert* result) {
    apr_text_header header{};
    *result = hooks()->insert_prop(resource_, propid, what, &header);
    return header.first != nullptr ? header.first->text : "";
  }

  dav_resource* resource_ = nullptr;
  dav_resource_private* info_ = nullptr;
};

TEST_F(LivePropsTest, ValidateAcceptsTAndF) {
  void* context = reinterpret_cast<void*>(0x5);
  int defer = 0;
  EXPECT_EQ(hooks()->patch_validate(resource_, element("T"), DAV_PROP_OP_SET, &context, &defer),
            nullptr);
  EXPECT_NE(context, nullptr);
  EXPECT_EQ(hooks()->patch_validate(resource_, element("F"), DAV_PROP_OP_SET, &context, &defer),
            nullptr);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(defer, 0);
}

TEST_F(LivePropsTest, ValidateRefusesEverythingElse) {
  struct Case {
    const char* inner;
    int operation;
    const char* message_end;
  } cases[] = {
      {"t", DAV_PROP_OP_SET, "The value submitted is invalid."},
      {"TF", DAV_PROP_OP_SET, "The value submitted has too many characters."},
      {"", DAV_PROP_OP_SET, "There was no value submitted."},
      {"T<x/>F", DAV_PROP_OP_SET, "The value submitted has too many characters."},
      {"T", DAV_PROP_OP_DELETE, "The 'executable' property cannot be removed."},
  };
  for (const Case& c : cases) {
    void* context = nullptr;
    int defer = 0;
    dav_error* err =
        hooks()->patch_validate(resource_, element(c.inner), c.operation, &context, &defer);
    ASSERT_NE(err, nullptr) << c.inner;
    EXPECT_EQ(err->status, HTTP_CONFLICT);
    const std::string desc = err->desc;
    EXPECT_EQ(desc.substr(desc.size() - std::strlen(c.message_end)), c.message_end) << c.inner;
  }
}

TEST_F(LivePropsTest, ValidateDefersOtherPropertiesToTheDeadStore) {
  void* context = nullptr;
  int defer = 0;
  EXPECT_EQ(hooks()->patch_validate(resource_, element("x", 0), DAV_PROP_OP_SET, &context, &defer),
            nullptr);
  EXPECT_EQ(defer, 1);
}

TEST_F(LivePropsTest, ExecAndRollbackFlipTheOwnerExecuteBit) {
  kiv_test::ScratchDir dir;
  const std::string file = dir / "doc.txt";
  kiv_test::write_file(file, "x");
  const char* path = file.c_str();
  chmod(path, 0644);
  info_->pathname = path;
  ASSERT_EQ(apr_stat(&info_->finfo, path, APR_FINFO_NORM, pool_), APR_SUCCESS);

  dav_liveprop_rollback* rollback = nullptr;
  ASSERT_EQ(hooks()->patch_exec(resource_, nullptr, DAV_PROP_OP_SET, reinterpret_cast<void*>(1),
                                &rollback),
            nullptr);
  struct stat st;
  stat(path, &st);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_EQ(rollback, nullptr);  // the bit was clear before

  ASSERT_EQ(hooks()->patch_rollback(resource_, DAV_PROP_OP_SET, nullptr, rollback), nullptr);
  stat(path, &st);
  EXPECT_FALSE(st.st_mode & S_IXUSR);

  // Asking for the value the file already has changes nothing and leaves the rollback alone.
  rollback = reinterpret_cast<dav_liveprop_rollback*>(0x7);
  EXPECT_EQ(hooks()->patch_exec(resource_, nullptr, DAV_PROP_OP_SET, nullptr, &rollback), nullptr);
  EXPECT_EQ(rollback, reinterpret_cast<dav_liveprop_rollback*>(0x7));
}

TEST_F(LivePropsTest, ExecOnAFileWhosePermissionsCannotBeSet) {
  info_->pathname = "/nonexistent/dir/file";
  info_->finfo.protection = APR_UREAD | APR_UWRITE;
  dav_liveprop_rollback* rollback = nullptr;
  dav_error* err = hooks()->patch_exec(resource_, nullptr, DAV_PROP_OP_SET,
                                       reinterpret_cast<void*>(1), &rollback);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_STREQ(err->desc, "Could not set the executable flag of the target resource.");
  err = hooks()->patch_rollback(resource_, DAV_PROP_OP_SET, nullptr, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc,
               "After a failure occurred, the resource's executable flag could not be restored.");
}

TEST_F(LivePropsTest, ValuesAndTheirFormats) {
  info_->finfo.filetype = APR_REG;
  info_->finfo.valid = APR_FINFO_NORM;
  info_->finfo.inode = 0x1234;
  info_->finfo.size = 42;
  info_->finfo.ctime = 0;
  info_->finfo.mtime = apr_time_from_sec(784111777);  // Sun, 06 Nov 1994 08:49:37 GMT
  info_->finfo.protection = 0755;

  dav_prop_insert result;
  EXPECT_EQ(insert(DAV_PROPID_creationdate, DAV_PROP_INSERT_VALUE, &result),
            "<lp0:creationdate>1970-01-01T00:00:00Z</lp0:creationdate>\n");
  EXPECT_EQ(result, DAV_PROP_INSERT_VALUE);
  EXPECT_EQ(insert(DAV_PROPID_getlastmodified, DAV_PROP_INSERT_VALUE, &result),
            "<lp0:getlastmodified>Sun, 06 Nov 1994 08:49:37 GMT</lp0:getlastmodified>\n");
  EXPECT_EQ(insert(DAV_PROPID_getcontentlength, DAV_PROP_INSERT_NAME, &result),
            "<lp0:getcontentlength/>\n");
  EXPECT_EQ(insert(DAV_PROPID_getetag, DAV_PROP_INSERT_VALUE, &result),
            "<lp0:getetag>\"1234-2a-2c9253feeaa40\"</lp0:getetag>\n");
  EXPECT_EQ(insert(kExecutable, DAV_PROP_INSERT_VALUE, &result),
            "<lp1:executable>T</lp1:executable>\n");
  EXPECT_EQ(insert(kExecutable, DAV_PROP_INSERT_SUPPORTED, &result),
            "<D:supported-live-property D:name=\"executable\" "
            "D:namespace=\"http://apache.org/dav/props/\"/>\n");

  info_->finfo.valid &= ~APR_FINFO_UPROT;
  insert(kExecutable, DAV_PROP_INSERT_VALUE, &result);
  EXPECT_EQ(result, DAV_PROP_INSERT_NOTDEF);

  resource_->collection = 1;
  insert(DAV_PROPID_getcontentlength, DAV_PROP_INSERT_VALUE, &result);
  EXPECT_EQ(result, DAV_PROP_INSERT_NOTDEF);
  resource_->exists = 0;
  insert(DAV_PROPID_creationdate, DAV_PROP_INSERT_VALUE, &result);
  EXPECT_EQ(result, DAV_PROP_INSERT_NOTDEF);
  EXPECT_STREQ(dav_kiv_hooks_repository.getetag(resource_), "");
}

TEST_F(LivePropsTest, EntityTagWithoutALocalFileIsTheTimeAlone) {
  info_->finfo.filetype = APR_NOFILE;
  info_->finfo.mtime = 0xabcdef;
  EXPECT_STREQ(dav_kiv_hooks_repository.getetag(resource_), "\"abcdef\"");
}

// An HTTP date has a four-digit year, as an ISO 8601 one does.
TEST_F(LivePropsTest, EarlyYearsArePrintedWithFourDigits) {
  char buf[30];
  const apr_time_t t = apr_time_from_sec(-30641673600LL);  // 0999-01-02T00:00:00Z
  kiv::repository::dav_kiv_format_time(DAV_STYLE_ISO8601, t, buf);
  EXPECT_STREQ(buf, "0999-01-02T00:00:00Z");
  EXPECT_EQ(kiv::repository::dav_kiv_format_time(DAV_STYLE_RFC822, t, buf), 29);
  EXPECT_STREQ(buf, "Wed, 02 Jan 0999 00:00:00 GMT");
}

TEST_F(LivePropsTest, FindsOnlyItsOwnProperties) {
  const dav_hooks_liveprop* found = nullptr;
  EXPECT_EQ(dav_kiv_find_liveprop(resource_, kApacheProps, "executable", &found), kExecutable);
  EXPECT_EQ(found, hooks());
  EXPECT_EQ(dav_kiv_find_liveprop(resource_, "DAV:", "getetag", &found), DAV_PROPID_getetag);
  dav_hooks_repository other{};
  resource_->hooks = &other;
  EXPECT_EQ(dav_kiv_find_liveprop(resource_, "DAV:", "getetag", &found), 0);
  const int propids[] = {DAV_PROPID_creationdate, DAV_PROPID_getcontentlength, DAV_PROPID_getetag,
                         DAV_PROPID_getlastmodified, kExecutable};
  for (int propid : propids) {
    EXPECT_EQ(hooks()->is_writable(resource_, propid), 0);
  }
}

}  // namespace
