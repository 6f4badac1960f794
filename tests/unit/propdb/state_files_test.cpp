// Moving, copying and removing a resource's property state files: on one file system, across file
// systems (a tmpfs mounted for the test, when the test may mount one), the walk that gives a
// collection's copy its members' properties, and the failures.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/host.h"
#include "dbm/dbm.h"
#include "dbm/state_dir.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"
#include "tests/support/fake_repository.h"
#include "tests/support/module_test.h"

namespace {

using kiv_test::path_exists;
using kiv_test::read_file;

class StateFilesTest : public kiv_test::AprTest {
 protected:
  void SetUp() override {
    AprTest::SetUp();
    ASSERT_EQ(::mkdir((dir_ / "src").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((dir_ / "dst").c_str(), 0777), 0);
  }

  // Gives the document (or collection) at path a property database holding one record.
  void give_properties(const std::string& path, bool collection = false) {
    kiv::DbmFile* db = nullptr;
    ASSERT_EQ(kiv::dav_kiv_dbm_open_resource(pool_, at(path, collection), 0, &db), nullptr);
    apr_datum_t key{const_cast<char*>("k"), 1};
    apr_datum_t value{const_cast<char*>(path.c_str()), path.size()};
    ASSERT_EQ(dav_kiv_dbm_store(db, key, value), nullptr);
    dav_kiv_dbm_close(db);
  }

  // The one record of the resource's property database, or "" when it has none.
  std::string properties_of(const std::string& path, bool collection = false) {
    kiv::DbmFile* db = nullptr;
    EXPECT_EQ(kiv::dav_kiv_dbm_open_resource(pool_, at(path, collection), 1, &db), nullptr);
    if (db == nullptr) return "";
    apr_datum_t key{const_cast<char*>("k"), 1};
    apr_datum_t value{};
    EXPECT_EQ(dav_kiv_dbm_fetch(db, key, &value), nullptr);
    std::string result = value.dptr ? std::string(value.dptr, value.dsize) : "";
    dav_kiv_dbm_close(db);
    return result;
  }

  dav_resource* doc(const std::string& path) { return kiv_test::make_resource(pool_, path, false); }
  dav_resource* at(const std::string& path, bool collection) {
    return kiv_test::make_resource(pool_, path, collection);
  }

  dav_error* move(const std::string& from, const std::string& to, int is_move = 1) {
    return kiv::repository::dav_kiv_copymove_state_set(is_move, pool_, doc(from), doc(to));
  }

  kiv_test::ScratchDir dir_;
};

TEST_F(StateFilesTest, MoveCreatesTheDestinationStateDirectory) {
  const std::string from = dir_ / "src/a.xml";
  give_properties(from);
  const std::string bytes = read_file(dir_ / "src/.DAV/a.xml");
  ASSERT_FALSE(path_exists(dir_ / "dst/.DAV"));

  ASSERT_EQ(move(from, dir_ / "dst/b.xml"), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml"));
  EXPECT_EQ(read_file(dir_ / "dst/.DAV/b.xml"), bytes);
  EXPECT_EQ(properties_of(dir_ / "dst/b.xml"), from);
}

TEST_F(StateFilesTest, DocumentsWithoutPropertiesMoveAndDeleteQuietly) {
  EXPECT_EQ(move(dir_ / "src/a.xml", dir_ / "dst/b.xml"), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "dst/.DAV"));
  EXPECT_EQ(kiv::repository::dav_kiv_delete_state(pool_, doc(dir_ / "src/a.xml")), nullptr);
}

TEST_F(StateFilesTest, DeleteRemovesOnlyTheDocumentsFile) {
  give_properties(dir_ / "src/a.xml");
  give_properties(dir_ / "src/b.xml");
  ASSERT_EQ(kiv::repository::dav_kiv_delete_state(pool_, doc(dir_ / "src/a.xml")), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml"));
  EXPECT_EQ(properties_of(dir_ / "src/b.xml"), dir_ / "src/b.xml");
}

TEST_F(StateFilesTest, StateDirectoryThatIsAFileIsRefused) {
  give_properties(dir_ / "src/a.xml");
  kiv_test::write_file(dir_ / "dst/.DAV", "not a directory");
  dav_error* err = move(dir_ / "src/a.xml", dir_ / "dst/b.xml");
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_EQ(err->error_id, 0);
  EXPECT_STREQ(err->desc, "State directory is actually a file");
  EXPECT_EQ(properties_of(dir_ / "src/a.xml"), dir_ / "src/a.xml");
}

TEST_F(StateFilesTest, StateDirectoryThatCannotBeMadeIsRefused) {
  give_properties(dir_ / "src/a.xml");
  dav_error* err = move(dir_ / "src/a.xml", dir_ / "nowhere/b.xml");
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc, "Could not create internal state directory");
}

TEST_F(StateFilesTest, CopyLeavesTheSourceInPlace) {
  give_properties(dir_ / "src/a.xml");
  ASSERT_EQ(move(dir_ / "src/a.xml", dir_ / "dst/b.xml", 0), nullptr);
  EXPECT_EQ(properties_of(dir_ / "src/a.xml"), dir_ / "src/a.xml");
  EXPECT_EQ(properties_of(dir_ / "dst/b.xml"), dir_ / "src/a.xml");
}

// COPY through the hooks, with the service's copy answered by a fake: the copy's tree is made on
// disk here, as the service would make it, and the fake lists it.
class CopyPropertiesTest : public StateFilesTest {
 protected:
  void SetUp() override {
    StateFilesTest::SetUp();
    kiv::Repository::install(&repo_);
  }
  void TearDown() override {
    kiv::Repository::install(nullptr);
    StateFilesTest::TearDown();
  }

  // Copies the resource at from to to (URIs; on disk below dir_).
  dav_error* copy(const std::string& from, const std::string& to, bool collection,
                  dav_response** response) {
    return dav_kiv_hooks_repository.copy_resource(
        kiv_test::make_resource(pool_, dir_ / from.substr(1), collection, from.c_str()),
        kiv_test::make_resource(pool_, dir_ / to.substr(1), collection, to.c_str()), DAV_INFINITY,
        response);
  }
  void make(const std::string& rel, bool collection) {
    if (collection)
      ASSERT_EQ(::mkdir((dir_ / rel).c_str(), 0777), 0);
    else
      kiv_test::write_file(dir_ / rel, rel);
  }

  kiv_test::FakeRepository repo_;
};

TEST_F(CopyPropertiesTest, EveryCopiedMemberGetsItsPropertiesAndFailuresAreNamed) {
  for (const char* rel : {"c", "c/sub", "c/bad", "c2", "c2/sub", "c2/bad"}) make(rel, true);
  for (const char* rel : {"c/a", "c/sub/b", "c/sub/gone", "c/bad/x"}) {
    make(rel, false);
    give_properties(dir_ / rel);
  }
  give_properties(dir_ / "c", true);
  give_properties(dir_ / "c/sub", true);
  kiv_test::write_file(dir_ / "c/.DAV/.locknull", std::string("reserved", 9));
  // The service's copy, which left out sub/gone (it shows in the listing all the same); a file
  // where the state directory of bad belongs keeps x's properties out.
  for (const char* rel : {"c2/a", "c2/sub/b", "c2/sub/gone", "c2/bad/x", "c2/bad/.DAV"}) {
    make(rel, false);
  }
  repo_.listings["/c2"] = {{"/c2/a", false}, {"/c2/bad/", true}, {"/c2/sub/", true}};
  repo_.listings["/c2/bad"] = {{"/c2/bad/x", false}};
  repo_.listings["/c2/sub"] = {{"/c2/sub/b", false}, {"/c2/sub/gone", false}};
  repo_.left_out = {{"sub/gone", kiv::Reason::kNoSpace}};

  dav_response* response = nullptr;
  dav_error* err = copy("/c", "/c2", true, &response);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_MULTI_STATUS);
  std::map<std::string, int> named;
  for (dav_response* r = response; r != nullptr; r = r->next) named[r->href] = r->status;
  EXPECT_EQ(named, (std::map<std::string, int>{{"/c2/bad/x", 500}, {"/c2/sub/gone", 507}}));
  for (const char* rel : {"", "/sub"}) {
    EXPECT_EQ(properties_of(dir_ / ("c2" + std::string(rel)), true),
              dir_ / ("c" + std::string(rel)));
  }
  for (const char* rel : {"/a", "/sub/b"}) {
    EXPECT_EQ(properties_of(dir_ / ("c2" + std::string(rel))), dir_ / ("c" + std::string(rel)));
  }
  EXPECT_FALSE(path_exists(dir_ / "c2/sub/.DAV/gone"));
  EXPECT_FALSE(path_exists(dir_ / "c2/.DAV/.locknull"));

  // A document whose properties cannot follow is removed again.
  err = copy("/c/bad/x", "/c2/bad/y", false, &response);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(repo_.calls(kiv_test::FakeRepository::kDelete), 1);
}

// With a DBM type that keeps two files per database (.dir and .pag), both travel and both go.
class TwoFileStateTest : public StateFilesTest {
 protected:
  void SetUp() override {
    kiv::set_dbm_type("SDBM");
    StateFilesTest::SetUp();
  }
  void TearDown() override {
    kiv::set_dbm_type(nullptr);
    StateFilesTest::TearDown();
  }

  // Puts a non-empty directory where a state file is, so that it cannot be replaced or removed.
  void block(const std::string& path) {
    ::remove(path.c_str());
    ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((path + "/x").c_str(), 0777), 0);
  }
};

TEST_F(TwoFileStateTest, BothFilesMoveAndGo) {
  give_properties(dir_ / "src/a.xml");
  ASSERT_TRUE(path_exists(dir_ / "src/.DAV/a.xml.pag"));
  ASSERT_EQ(move(dir_ / "src/a.xml", dir_ / "dst/b.xml"), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml.dir"));
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml.pag"));
  EXPECT_EQ(properties_of(dir_ / "dst/b.xml"), dir_ / "src/a.xml");

  ASSERT_EQ(kiv::repository::dav_kiv_delete_state(pool_, doc(dir_ / "dst/b.xml")), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "dst/.DAV/b.xml.dir"));
  EXPECT_FALSE(path_exists(dir_ / "dst/.DAV/b.xml.pag"));
}

TEST_F(TwoFileStateTest, SecondFileThatCannotMoveIsReported) {
  give_properties(dir_ / "src/a.xml");
  ASSERT_EQ(::mkdir((dir_ / "dst/.DAV").c_str(), 0777), 0);
  block(dir_ / "dst/.DAV/b.xml.pag");
  dav_error* err = move(dir_ / "src/a.xml", dir_ / "dst/b.xml");
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_STREQ(err->desc,
               "Could not completely copy/move the properties. The server is now in an "
               "inconsistent state.state.");
}

TEST_F(TwoFileStateTest, SecondFileThatCannotBeRemovedIsReported) {
  give_properties(dir_ / "src/a.xml");
  block(dir_ / "src/.DAV/a.xml.pag");
  dav_error* err = kiv::repository::dav_kiv_delete_state(pool_, doc(dir_ / "src/a.xml"));
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc,
               "Could not completely remove properties. The server is now in an inconsistent "
               "state.state.");
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml.dir"));
}

// A tmpfs mounted inside the scratch directory: another device. Skips when it cannot be mounted
// (not root, or no permission to mount).
class CrossDeviceTest : public StateFilesTest {
 protected:
  void SetUp() override {
    StateFilesTest::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a second file system needs root";
    mount_point_ = dir_ / "other";
    ASSERT_EQ(::mkdir(mount_point_.c_str(), 0777), 0);
    if (::mount("kiv-test", mount_point_.c_str(), "tmpfs", 0, "size=4m") != 0) {
      mount_point_.clear();
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
  }
  void TearDown() override {
    if (!mount_point_.empty()) ::umount2(mount_point_.c_str(), MNT_DETACH);
    StateFilesTest::TearDown();
  }

  std::string mount_point_;
};

TEST_F(CrossDeviceTest, MoveCarriesThePropertiesToTheOtherDevice) {
  const std::string from = dir_ / "src/a.xml";
  give_properties(from);
  const std::string bytes = read_file(dir_ / "src/.DAV/a.xml");
  struct stat before;
  ASSERT_EQ(::stat((dir_ / "src/.DAV/a.xml").c_str(), &before), 0);

  ASSERT_EQ(move(from, mount_point_ + "/b.xml"), nullptr);
  EXPECT_FALSE(path_exists(dir_ / "src/.DAV/a.xml"));
  EXPECT_EQ(read_file(mount_point_ + "/.DAV/b.xml"), bytes);
  EXPECT_EQ(properties_of(mount_point_ + "/b.xml"), from);
  struct stat after;
  ASSERT_EQ(::stat((mount_point_ + "/.DAV/b.xml").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  // No temporary file is left beside it (the lock files of the directory stay).
  EXPECT_EQ(kiv_test::run("ls -A '" + mount_point_ + "/.DAV' | grep -v '^.kivd-[lg]'"), "b.xml\n");

  // And back again, over a copy of the same name.
  ASSERT_EQ(move(mount_point_ + "/b.xml", dir_ / "dst/c.xml"), nullptr);
  EXPECT_EQ(properties_of(dir_ / "dst/c.xml"), from);
  EXPECT_FALSE(path_exists(mount_point_ + "/.DAV/b.xml"));
}

TEST_F(CrossDeviceTest, CopyAcrossDevicesKeepsTheSource) {
  give_properties(dir_ / "src/a.xml");
  ASSERT_EQ(move(dir_ / "src/a.xml", mount_point_ + "/b.xml", 0), nullptr);
  EXPECT_EQ(properties_of(dir_ / "src/a.xml"), dir_ / "src/a.xml");
  EXPECT_EQ(properties_of(mount_point_ + "/b.xml"), dir_ / "src/a.xml");
}

TEST_F(CrossDeviceTest, FullDestinationFailsAndKeepsTheSource) {
  // Fill the tmpfs so that the copy cannot be written.
  give_properties(dir_ / "src/a.xml");
  ASSERT_EQ(::mkdir((mount_point_ + "/.DAV").c_str(), 0777), 0);
  kiv_test::run("dd if=/dev/zero of='" + mount_point_ + "/filler' bs=1M count=8 2>/dev/null");

  dav_error* err = move(dir_ / "src/a.xml", mount_point_ + "/b.xml");
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc, "Could not move state file.");
  EXPECT_EQ(properties_of(dir_ / "src/a.xml"), dir_ / "src/a.xml");
  EXPECT_EQ(kiv_test::run("ls -A '" + mount_point_ + "/.DAV'"), "");
}

}  // namespace
