// The lock-null list files: where they are read and written, and what adding and removing do.
#include <unistd.h>

#include <string>

#include "provider/resource.h"
#include "tests/unit/locks/lock_test_support.h"

namespace kiv_test {
namespace {

class LocknullTest : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    make_dir("root/d");
    list_file_ = path("d/.DAV/.locknull");
  }

  std::string loaded(const std::string& dirpath) {
    dav_buffer buf = {0, 0, nullptr};
    EXPECT_EQ(kiv::locks::dav_kiv_locknull_load(pool_, "/", dirpath.c_str(), &buf), nullptr);
    return std::string(buf.buf, buf.cur_len);
  }

  dav_error* remove_member(const std::string& relative) {
    dav_buffer buf = {0, 0, nullptr};
    return kiv::locks::dav_kiv_locknull_remove_member(pool_, "/", path(relative).c_str(), &buf);
  }

  std::string list_file_;
};

TEST_F(LocknullTest, AddingCreatesTheStateDirectoryAndStoresNameAndNul) {
  EXPECT_FALSE(path_exists(path("d/.DAV")));
  ASSERT_EQ(kiv::locks::dav_kiv_locknull_add(pool_, resource("d/a.xml", false)), nullptr);
  EXPECT_EQ(read_file(list_file_), std::string("a.xml\0", 6));
}

TEST_F(LocknullTest, AddingTwiceStoresTwiceAndEachRemovalTakesOneCopy) {
  ASSERT_EQ(kiv::locks::dav_kiv_locknull_add(pool_, resource("d/a.xml", false)), nullptr);
  ASSERT_EQ(kiv::locks::dav_kiv_locknull_add(pool_, resource("d/b", false)), nullptr);
  ASSERT_EQ(kiv::locks::dav_kiv_locknull_add(pool_, resource("d/a.xml", false)), nullptr);
  EXPECT_EQ(read_file(list_file_), std::string("a.xml\0b\0a.xml\0", 14));
  ASSERT_EQ(remove_member("d/a.xml"), nullptr);
  EXPECT_EQ(read_file(list_file_), std::string("b\0a.xml\0", 8));
  ASSERT_EQ(remove_member("d/a.xml"), nullptr);
  ASSERT_EQ(remove_member("d/b"), nullptr);
  EXPECT_FALSE(path_exists(list_file_));
}

TEST_F(LocknullTest, RemovingANameThatIsNotListedWritesNothing) {
  ASSERT_EQ(remove_member("d/a.xml"), nullptr);
  EXPECT_FALSE(path_exists(path("d/.DAV")));
  make_dir("root/d/.DAV");
  write_file(list_file_, std::string("b\0", 2));
  ASSERT_EQ(remove_member("d/a.xml"), nullptr);
  EXPECT_EQ(read_file(list_file_), std::string("b\0", 2));
}

TEST_F(LocknullTest, DirectoryPathWithATrailingSlashReadsTheSameFile) {
  make_dir("root/d/.DAV");
  write_file(list_file_, std::string("x\0", 2));
  EXPECT_EQ(loaded(path("d")), std::string("x\0", 2));
  EXPECT_EQ(loaded(path("d") + "/"), std::string("x\0", 2));
  EXPECT_EQ(loaded(path("nowhere")), "");
}

TEST_F(LocknullTest, EmptyListFileIsAnEmptyList) {
  make_dir("root/d/.DAV");
  write_file(list_file_, "");
  EXPECT_EQ(loaded(path("d")), "");
  ASSERT_EQ(kiv::locks::dav_kiv_locknull_add(pool_, resource("d/a", false)), nullptr);
  EXPECT_EQ(read_file(list_file_), std::string("a\0", 2));
}

TEST_F(LocknullTest, FileErrorsNameThePathInvolved) {
  // A directory where the list file belongs can be neither read, written nor removed as one.
  make_dir("root/d/.DAV/.locknull");
  dav_buffer buf = {0, 0, nullptr};
  dav_error* err = kiv::locks::dav_kiv_locknull_load(pool_, "/", path("d").c_str(), &buf);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, 0);
  EXPECT_EQ(std::string(err->desc), "Failure reading locknull file for " + path("d"));
  EXPECT_EQ(buf.cur_len, 0u);

  dav_buffer names = {0, 0, nullptr};
  dav_buffer_init(pool_, &names, "a");
  names.cur_len = 2;
  err = kiv::locks::dav_kiv_locknull_save(pool_, "/", path("d").c_str(), &names);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->desc), "Error writing 2 bytes to " + list_file_);

  names.cur_len = 0;
  err = kiv::locks::dav_kiv_locknull_save(pool_, "/", path("d").c_str(), &names);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->desc), "Error removing " + list_file_);

  err = kiv::locks::dav_kiv_locknull_add(pool_, resource("d/a", false));
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc, "Could not load .locknull file.");
  ASSERT_NE(err->prev, nullptr);
  EXPECT_EQ(std::string(err->prev->desc), "Failure reading locknull file for " + path("d"));
}

TEST_F(LocknullTest, StateDirectoryThatIsALinkIsRefusedAndNothingIsWrittenThrough) {
  // A ".DAV" placed in the tree as a link to a directory elsewhere got the list written there.
  make_dir("root/elsewhere");
  ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("d/.DAV").c_str()), 0);
  dav_error* err = kiv::locks::dav_kiv_locknull_add(pool_, resource("d/ghost", false));
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->prev != nullptr ? err->prev->status : err->status, HTTP_FORBIDDEN);
  EXPECT_FALSE(path_exists(path("elsewhere/.locknull")));
  ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("lnk").c_str()), 0);
  EXPECT_EQ(remove_member("lnk/x")->status, HTTP_FORBIDDEN);
}

TEST_F(LocknullTest, AddingReturnsTheErrorOfTheDirectorySplit) {
  dav_resource* relative = resource("d/a", false);
  relative->info->pathname = "relative/a";
  dav_error* err = kiv::locks::dav_kiv_locknull_add(pool_, relative);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_STREQ(err->desc, "An incompleted/bad path was founddav_kiv_dir_file_name.");
  EXPECT_FALSE(path_exists("relative"));
}

}  // namespace
}  // namespace kiv_test
