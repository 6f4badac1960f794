// Resource identity: the directory/name split, sameness and ancestry, and parents.
#include "provider/resource.h"

#include <unistd.h>

#include <string>

#include "common/host.h"
#include "repository/repository.h"
#include "tests/support/module_test.h"

namespace {

class ResourceTest : public kiv_test::AprTest {
 protected:
  dav_resource* make(const char* pathname, bool collection, const char* uri = nullptr) {
    return kiv_test::make_resource(pool_, pathname, collection, uri);
  }
};

TEST_F(ResourceTest, SplitsDocumentsAndCollections) {
  const char* dir = nullptr;
  const char* name = nullptr;
  ASSERT_EQ(kiv::dav_kiv_dir_file_name(make("/srv/repo/a/c.xml", false), &dir, &name), nullptr);
  EXPECT_STREQ(dir, "/srv/repo/a");
  EXPECT_STREQ(name, "c.xml");

  // Directly below the file-system root the directory keeps its "/".
  ASSERT_EQ(kiv::dav_kiv_dir_file_name(make("/c.xml", false), &dir, &name), nullptr);
  EXPECT_STREQ(dir, "/");
  EXPECT_STREQ(name, "c.xml");

  ASSERT_EQ(kiv::dav_kiv_dir_file_name(make("/srv/repo/a", true), &dir, &name), nullptr);
  EXPECT_STREQ(dir, "/srv/repo/a");
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(kiv::dav_kiv_dir_file_name(make("/srv/repo/a", true), &dir, nullptr), nullptr);
}

TEST_F(ResourceTest, AncestryNeedsASlashBoundary) {
  EXPECT_EQ(dav_kiv_hooks_repository.is_parent_resource(make("/x/b", true), make("/x/bc", false)),
            0);
  EXPECT_EQ(dav_kiv_hooks_repository.is_parent_resource(make("/x/b", true), make("/x/b/c", false)),
            1);
  EXPECT_EQ(dav_kiv_hooks_repository.is_parent_resource(make("/x/b", true), make("/x/b", true)), 0);
  dav_resource* other = make("/x/b/c", false);
  dav_hooks_repository foreign{};
  other->hooks = &foreign;
  EXPECT_EQ(dav_kiv_hooks_repository.is_parent_resource(make("/x/b", true), other), 0);
}

TEST_F(ResourceTest, SamenessByInodeWhenBothHaveFilesElseByPath) {
  dav_resource* a = make("/one", false);
  dav_resource* b = make("/two", false);
  EXPECT_EQ(dav_kiv_hooks_repository.is_same_resource(a, b), 0);
  EXPECT_EQ(dav_kiv_hooks_repository.is_same_resource(a, make("/one", false)), 1);
  for (dav_resource* r : {a, b}) {
    r->info->finfo.filetype = APR_REG;
    r->info->finfo.valid = APR_FINFO_INODE;
    r->info->finfo.inode = 77;
  }
  EXPECT_EQ(dav_kiv_hooks_repository.is_same_resource(a, b), 1);  // a hard link under another name
}

TEST_F(ResourceTest, ParentExistenceComesFromTheLocalFileSystem) {
  kiv_test::ScratchDir scratch;
  const std::string dir = scratch.path();
  const std::string child = scratch / "doc.txt";
  dav_resource* parent = nullptr;
  ASSERT_EQ(dav_kiv_hooks_repository.get_parent_resource(make(child.c_str(), false, "/x/doc.txt"),
                                                         &parent),
            nullptr);
  ASSERT_NE(parent, nullptr);
  EXPECT_STREQ(parent->info->pathname, dir.c_str());
  EXPECT_STREQ(parent->uri, "/x");
  EXPECT_EQ(parent->exists, 1);
  EXPECT_EQ(parent->collection, 1);
  rmdir(dir.c_str());

  ASSERT_EQ(dav_kiv_hooks_repository.get_parent_resource(make(child.c_str(), false, "/x/doc.txt"),
                                                         &parent),
            nullptr);
  EXPECT_EQ(parent->exists, 0);

  ASSERT_EQ(dav_kiv_hooks_repository.get_parent_resource(make("/srv", true, "/"), &parent),
            nullptr);
  EXPECT_EQ(parent, nullptr);
}

}  // namespace
