// The repository tree on disk, driven directly (no network).
#include "service/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/tree_id.h"
#include "common/unique_fd.h"
#include "service/journal.h"
#include "tests/support/scratch.h"

namespace kiv::service {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool ok(Reason r) {
  return r == Reason::kNone;
}

// The reason's name, so that a failed check reads "parent missing" against "exists".
std::string named(Reason r) {
  return reason_name(r);
}

ino_t inode_of(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Parameter: whether paths resolve with openat2 or with the component walk.
class StoreTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    root_ = fs::path(scratch_.path()) / "root";
    outside_ = fs::path(scratch_.path()) / "outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
    spit(outside_ / "secret", "keep me");
    reopen();
  }
  void TearDown() override {
    store_.reset();
    ::umount2((root_ / "mnt").c_str(), MNT_DETACH);  // where a test mounted one
  }
  void reopen(std::uint64_t max_document = std::uint64_t{512} << 20,
              const std::string& host_id = "") {
    store_.reset();
    StoreOptions o;
    o.use_openat2 = GetParam();
    o.max_document = max_document;
    o.host_id = host_id;
    std::string why;
    store_ = Store::open(root_.string(), o, &why);
    ASSERT_TRUE(store_) << why;
  }
  bool outside_untouched() {
    return slurp(outside_ / "secret") == "keep me" &&
           std::distance(fs::directory_iterator(outside_), fs::directory_iterator()) == 1;
  }
  void write_journal(const std::string& name, const std::string& bytes) {
    spit(root_ / ".kivd" / "journal" / name, bytes);
  }

  // True when the journal holds only slots, each empty: no record waits, and no content of any
  // document stays behind in the journal.
  bool no_pending_records() const {
    for (const auto& entry : fs::directory_iterator(root_ / ".kivd" / "journal")) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, 5, "slot-") != 0 || fs::file_size(entry.path()) != 0) return false;
    }
    return true;
  }

  kiv_test::ScratchDir scratch_;
  fs::path root_, outside_;
  std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, ReplacingKeepsTheInode) {
  ASSERT_TRUE(ok(store_->add_doc("/d", "first version, longer")));
  const ino_t before = inode_of(root_ / "d");
  ASSERT_TRUE(ok(store_->add_doc("/d", "second")));
  EXPECT_EQ(inode_of(root_ / "d"), before);
  EXPECT_EQ(slurp(root_ / "d"), "second");
  EXPECT_TRUE(no_pending_records());

  // A reader sending the document from an open descriptor holds a shared flock: the rewrite
  // waits for it a bounded time, then answers busy and leaves the document as it was.
  kiv::UniqueFd reader(::open((root_ / "d").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(reader.get(), LOCK_SH), 0);
  EXPECT_EQ(named(store_->add_doc("/d", "third")), named(Reason::kBusy));
  EXPECT_EQ(slurp(root_ / "d"), "second");
  EXPECT_TRUE(no_pending_records());
  reader.reset();
  ASSERT_TRUE(ok(store_->add_doc("/d", "third")));
  EXPECT_EQ(slurp(root_ / "d"), "third");
}

TEST_P(StoreTest, UploadsAreCheckedFirstAndStoreNothingUntilCommitted) {
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_doc("/c/d", "old")));
  struct stat old {};
  ASSERT_EQ(::stat((root_ / "c" / "d").c_str(), &old), 0);
  std::unique_ptr<Upload> up;
  const std::uint64_t beyond = 17;
  reopen(16);
  EXPECT_EQ(named(store_->begin_upload("/none/d", nullptr, &up)), "parent missing");
  EXPECT_EQ(named(store_->begin_upload("/c", nullptr, &up)), "not a document");
  EXPECT_EQ(named(store_->begin_upload("/c/big", &beyond, &up)), "too large");
  ASSERT_TRUE(ok(store_->begin_upload("/c/big", nullptr, &up)));
  store_->write_upload(*up, std::string(17, 'x'));
  Attributes stored;
  EXPECT_EQ(named(store_->commit_upload(*up, 17, &stored)), "too large");
  reopen();
  // Broken off, or announced with another length: nothing stored, nothing left behind.
  ASSERT_TRUE(ok(store_->begin_upload("/c/new", nullptr, &up)));
  store_->write_upload(*up, "partial");
  up.reset();
  ASSERT_TRUE(ok(store_->begin_upload("/c/d", nullptr, &up)));
  store_->write_upload(*up, "partial");
  EXPECT_EQ(named(store_->commit_upload(*up, 8, &stored)), "I/O failure");
  up.reset();
  EXPECT_EQ(slurp(root_ / "c" / "d"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "c"), fs::directory_iterator()), 1);
  // Large content replaces in place behind a staged record; zeros stay holes and still count.
  std::string body(3 << 20, '\0');
  for (std::size_t i = 0; i < (1u << 20); ++i) body[i] = static_cast<char>(i * 7 + 1);
  body += "tail";
  ASSERT_TRUE(ok(store_->begin_upload("/c/d", nullptr, &up)));
  for (std::size_t at = 0; at < body.size(); at += 1 << 20) {
    store_->write_upload(*up, std::string_view(body).substr(at, 1 << 20));
  }
  ASSERT_TRUE(ok(store_->commit_upload(*up, body.size(), &stored)));
  up.reset();
  EXPECT_TRUE(slurp(root_ / "c" / "d") == body);
  struct stat now {};
  ASSERT_EQ(::stat((root_ / "c" / "d").c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, old.st_ino);
  EXPECT_TRUE(kiv::proto::same_version(stored, attributes_of(now)));
  EXPECT_GT(stored.mtime_ns, attributes_of(old).mtime_ns);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "c"), fs::directory_iterator()), 1);
  EXPECT_TRUE(no_pending_records());
  // A new document appears whole under its name.
  ASSERT_TRUE(ok(store_->begin_upload("/c/new", nullptr, &up)));
  store_->write_upload(*up, "fresh");
  ASSERT_TRUE(ok(store_->commit_upload(*up, 5, &stored)));
  EXPECT_EQ(slurp(root_ / "c" / "new"), "fresh");
  EXPECT_EQ(stored.size, 5u);
  // Create-only: stored where nothing is, and never over what came meanwhile.
  ASSERT_TRUE(ok(store_->begin_upload("/c/once", nullptr, &up)));
  ASSERT_TRUE(ok(store_->commit_upload(*up, 0, &stored, true)));
  EXPECT_EQ(fs::file_size(root_ / "c" / "once"), 0u);
  ASSERT_TRUE(ok(store_->begin_upload("/c/new", nullptr, &up)));
  EXPECT_EQ(named(store_->commit_upload(*up, 0, &stored, true)), named(Reason::kExists));
  EXPECT_EQ(slurp(root_ / "c" / "new"), "fresh");
  ASSERT_TRUE(fs::remove(root_ / "c" / "once"));
  // A rewrite in place would reach every name of a hard-linked document: refused at the begin.
  fs::create_hard_link(root_ / "c" / "new", root_ / "c" / "alias");
  EXPECT_EQ(named(store_->begin_upload("/c/new", nullptr, &up)), "forbidden");
}

TEST_P(StoreTest, ListingIsSortedAndHidesPrivateStateAndSpecialFiles) {
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_doc("/c/b", "x")));
  ASSERT_TRUE(ok(store_->add_doc("/c/B", "x")));
  ASSERT_TRUE(ok(store_->add_collection("/c/a")));
  fs::create_directory(root_ / "c" / ".DAV");
  spit(root_ / "c" / ".kivd-tmp-1-1", "partial");
  fs::create_symlink(outside_, root_ / "c" / "link");
  ASSERT_EQ(::mkfifo((root_ / "c" / "fifo").c_str(), 0600), 0);
  std::string base;
  std::vector<Member> members;
  ASSERT_TRUE(ok(store_->list("/c/", &base, &members)));
  EXPECT_EQ(base, "/c/");
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].name, "B");
  EXPECT_EQ(members[1].name, "a");
  EXPECT_TRUE(members[1].collection);
  EXPECT_EQ(members[2].name, "b");
  EXPECT_FALSE(members[2].collection);
  ASSERT_TRUE(ok(store_->list("/", &base, &members)));
  EXPECT_EQ(base, "/");
  ASSERT_EQ(members.size(), 1u);  // .kivd is not listed
  // A FIFO is not a document; reading it must not block.
  std::string content;
  EXPECT_FALSE(ok(store_->get_doc("/c/fifo", &content)));
  Entry e;
  EXPECT_FALSE(ok(store_->get_directory("/c/fifo", &e)));
}

TEST_P(StoreTest, SymbolicLinksAreNeverFollowed) {
  fs::create_directory_symlink(outside_, root_ / "dirlink");
  fs::create_symlink(outside_ / "secret", root_ / "filelink");
  Entry e;
  std::string content, base;
  std::vector<Member> members;
  EXPECT_FALSE(ok(store_->get_directory("/dirlink", &e)));
  EXPECT_FALSE(ok(store_->get_directory("/dirlink/secret", &e)));
  EXPECT_FALSE(ok(store_->get_doc("/dirlink/secret", &content)));
  EXPECT_FALSE(ok(store_->get_doc("/filelink", &content)));
  EXPECT_TRUE(content.empty());
  EXPECT_FALSE(ok(store_->list("/dirlink/", &base, &members)));
  EXPECT_FALSE(ok(store_->add_doc("/dirlink/new", "x")));
  EXPECT_FALSE(ok(store_->add_doc("/filelink", "overwrite")));
  EXPECT_FALSE(ok(store_->add_collection("/dirlink/sub")));
  EXPECT_FALSE(ok(store_->del_doc("/filelink")));
  EXPECT_FALSE(ok(store_->del_any("/dirlink")));
  EXPECT_FALSE(ok(store_->del_any("/dirlink/secret")));
  EXPECT_FALSE(ok(store_->move("/dirlink/secret", "/stolen", false)));
  ASSERT_TRUE(ok(store_->add_doc("/mine", "x")));
  EXPECT_FALSE(ok(store_->move("/mine", "/dirlink/mine", false)));
  EXPECT_TRUE(outside_untouched());
  EXPECT_TRUE(fs::is_symlink(root_ / "dirlink"));
  EXPECT_TRUE(fs::is_symlink(root_ / "filelink"));
}

TEST_P(StoreTest, RefusedUrisTouchNothing) {
  for (const std::string& uri : std::vector<std::string>{
           "../outside/secret", "/../outside/secret", "/a/../../outside", "/.DAV",
           "/.kivd/journal/x", std::string("/x\0y", 4), "/" + std::string(5000, 'a')}) {
    Entry e;
    std::string content;
    EXPECT_EQ(named(store_->add_doc(uri, "x")), "refused name") << uri;
    EXPECT_EQ(named(store_->add_collection(uri)), "refused name") << uri;
    EXPECT_EQ(named(store_->get_doc(uri, &content)), "refused name") << uri;
    EXPECT_EQ(named(store_->get_directory(uri, &e)), "refused name") << uri;
    EXPECT_EQ(named(store_->del_any(uri)), "refused name") << uri;
  }
  EXPECT_TRUE(outside_untouched());
  EXPECT_TRUE(fs::exists(root_ / ".kivd" / "journal"));
  std::vector<fs::path> left;
  for (const auto& p : fs::directory_iterator(root_)) left.push_back(p.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{".kivd"});
}

// Runs op ("lookup", "list", "store", "fetch", "mkcol", "move", "movecol", "copy", "copycol",
// "del", "delany") with its arguments.
Reason run(Store& store, std::string_view op, const std::string& a, const std::string& b) {
  Entry e;
  std::string content, base;
  std::vector<Member> members;
  std::vector<CopyFailure> failures;
  if (op == "lookup") return store.get_directory(a, &e);
  if (op == "copy") return store.copy_doc(a, b);
  if (op == "copycol") return store.copy_collection(a, b, true, &failures);
  if (op == "list") return store.list(a, &base, &members);
  if (op == "store") return store.add_doc(a, b);
  if (op == "fetch") return store.get_doc(a, &content);
  if (op == "mkcol") return store.add_collection(a);
  if (op == "move" || op == "movecol") return store.move(a, b, op == "movecol");
  return op == "del" ? store.del_doc(a) : store.del_any(a);
}

TEST_P(StoreTest, ReasonsOfEachOperation) {
  reopen(16);  // a small document cap
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_doc("/c/d", "doc")));
  ASSERT_TRUE(ok(store_->add_doc("/other", "other")));
  spit(root_ / "big", std::string(17, 'b'));
  fs::create_symlink(outside_ / "secret", root_ / "link");
  fs::create_directory_symlink(outside_, root_ / "dirlink");
  fs::create_hard_link(outside_ / "secret", root_ / "hard");  // a rewrite would reach outside
  const std::string at_cap(16, 'x'), beyond_cap(17, 'x');
  const struct {
    const char* op;
    std::string a, b;
    Reason want;
  } cases[] = {
      {"lookup", "/none", "", Reason::kNotFound},
      {"lookup", "/c/d/x", "", Reason::kNotFound},
      {"lookup", "/link", "", Reason::kNotFound},
      {"list", "/none/", "", Reason::kNotFound},
      {"list", "/c/d/", "", Reason::kNotCollection},
      {"store", "/", "x", Reason::kRefusedName},
      {"store", "/c/.DAV", "x", Reason::kRefusedName},
      {"store", "/none/d", "x", Reason::kParentMissing},
      {"store", "/dirlink/x", "x", Reason::kParentMissing},
      {"store", "/c/d/x", "x", Reason::kNotCollection},
      {"store", "/c", "x", Reason::kNotDocument},
      {"store", "/link", "x", Reason::kNotDocument},
      {"store", "/cap", at_cap, Reason::kNone},
      {"store", "/new", beyond_cap, Reason::kTooLarge},
      {"store", "/hard", "x", Reason::kForbidden},
      {"store", "/c/.state_for_dir", "x", Reason::kRefusedName},
      {"mkcol", "/.locknull", "", Reason::kRefusedName},
      {"fetch", "/none", "", Reason::kNotFound},
      {"fetch", "/c", "", Reason::kNotDocument},
      {"fetch", "/big", "", Reason::kTooLarge},
      {"mkcol", "/", "", Reason::kRefusedName},
      {"mkcol", "/c", "", Reason::kExists},
      {"mkcol", "/c/d", "", Reason::kExists},
      {"mkcol", "/none/c", "", Reason::kParentMissing},
      {"mkcol", "/c/d/e", "", Reason::kNotCollection},
      {"move", "/none", "/x", Reason::kNotFound},
      {"move", "/c", "/c2", Reason::kNotDocument},
      {"movecol", "/c/d", "/d2", Reason::kNotCollection},
      {"move", "/c/d", "/other", Reason::kExists},
      {"move", "/other", "/c", Reason::kExists},
      {"move", "/c/d", "/none/d", Reason::kParentMissing},
      {"move", "/c/d", "/other/d", Reason::kNotCollection},
      {"movecol", "/c", "/c/sub", Reason::kRefusedName},
      {"movecol", "/c", "/c", Reason::kRefusedName},
      {"movecol", "/", "/r", Reason::kRefusedName},
      {"copy", "/none", "/x", Reason::kNotFound},
      {"copy", "/link", "/x", Reason::kNotFound},
      {"copy", "/c", "/x", Reason::kNotDocument},
      {"copy", "/other", "/c", Reason::kNotDocument},
      {"copy", "/other", "/none/x", Reason::kParentMissing},
      {"copy", "/other", "/c/d/x", Reason::kNotCollection},
      {"copy", "/other", "/other", Reason::kRefusedName},
      {"copy", "/other", "/hard", Reason::kForbidden},
      {"copy", "/other", "/c/.DAV", Reason::kRefusedName},
      {"copycol", "/none", "/x", Reason::kNotFound},
      {"copycol", "/other", "/x", Reason::kNotCollection},
      {"copycol", "/c", "/other", Reason::kExists},
      {"copycol", "/c", "/none/x", Reason::kParentMissing},
      {"copycol", "/c", "/c/sub", Reason::kRefusedName},
      {"copycol", "/", "/r", Reason::kRefusedName},
      {"del", "/none", "", Reason::kNotFound},
      {"del", "/c", "", Reason::kNotDocument},
      {"delany", "/", "", Reason::kRefusedName},
      {"delany", "/none", "", Reason::kNotFound},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(named(run(*store_, c.op, c.a, c.b)), named(c.want)) << c.op << " " << c.a;
  }
  EXPECT_EQ(slurp(root_ / "other"), "other");
  EXPECT_FALSE(fs::exists(root_ / "new"));
  EXPECT_FALSE(fs::exists(root_ / "x"));
  EXPECT_TRUE(outside_untouched());
  // What succeeds answers as it should.
  Entry e;
  std::string content;
  ASSERT_TRUE(ok(store_->get_directory("/c/d/", &e)));
  EXPECT_EQ(e.path + " " + e.name + (e.collection ? " C" : " D"), "/c/d d D");
  ASSERT_TRUE(ok(store_->get_doc("/c/d", &content)));
  EXPECT_EQ(content, "doc");
  const ino_t ino = inode_of(root_ / "c" / "d");
  ASSERT_TRUE(ok(store_->move("/c/d", "/d", false)));
  EXPECT_EQ(inode_of(root_ / "d"), ino);
  ASSERT_TRUE(ok(store_->move("/c", "/c2/", true)));
  EXPECT_TRUE(fs::is_directory(root_ / "c2"));
}

TEST_P(StoreTest, DeletingACollectionTakesStateDirectoriesAlong) {
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_collection("/c/sub")));
  ASSERT_TRUE(ok(store_->add_doc("/c/sub/d", "x")));
  fs::create_directories(root_ / "c" / ".DAV");
  fs::create_directories(root_ / "c" / "sub" / ".DAV");
  spit(root_ / "c" / ".DAV" / ".state_for_dir", "props");
  spit(root_ / "c" / "sub" / ".DAV" / ".locknull", std::string("n\0", 2));
  ASSERT_TRUE(fs::exists(root_ / "c" / "sub" / ".DAV" / ".locknull"));
  fs::create_directory_symlink(outside_, root_ / "c" / "link");
  EXPECT_TRUE(ok(store_->del_any("/c/")));
  EXPECT_FALSE(fs::exists(root_ / "c"));
  EXPECT_TRUE(outside_untouched());  // the link went, not what it pointed to
  ASSERT_TRUE(ok(store_->add_doc("/d", "x")));
  EXPECT_TRUE(ok(store_->del_any("/d")));
  EXPECT_FALSE(fs::exists(root_ / "d"));
}

TEST_P(StoreTest, CopiesAreWholePrivateAndLeaveStateAndLinksBehind) {
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_collection("/c/sub")));
  ASSERT_TRUE(ok(store_->add_doc("/c/a", "alpha")));
  ASSERT_TRUE(ok(store_->add_doc("/c/sub/b", std::string(3 << 20, 'b'))));
  fs::create_directories(root_ / "c" / ".DAV");
  spit(root_ / "c" / ".DAV" / ".state_for_dir", "props");
  spit(root_ / "c" / ".kivd-tmp-1-1", "partial");
  fs::create_directory_symlink(outside_, root_ / "c" / "link");
  ASSERT_EQ(::mkfifo((root_ / "c" / "fifo").c_str(), 0600), 0);
  std::vector<CopyFailure> failures{{"stale", Reason::kIo}};
  ASSERT_EQ(named(store_->copy_collection("/c", "/d", true, &failures)), "ok");
  EXPECT_TRUE(failures.empty());
  std::vector<std::string> copied;
  for (const auto& e : fs::recursive_directory_iterator(root_ / "d")) {
    copied.push_back(fs::relative(e.path(), root_ / "d").string());
  }
  std::sort(copied.begin(), copied.end());
  EXPECT_EQ(copied, (std::vector<std::string>{"a", "sub", "sub/b"}));
  EXPECT_EQ(slurp(root_ / "d" / "sub" / "b"), std::string(3 << 20, 'b'));
  EXPECT_EQ(fs::status(root_ / "d" / "a").permissions(), fs::perms(0640));
  EXPECT_EQ(fs::status(root_ / "d" / "sub").permissions(), fs::perms(0750));
  ASSERT_TRUE(ok(store_->copy_collection("/c", "/e", false, &failures)));
  EXPECT_TRUE(fs::is_empty(root_ / "e"));
  // Onto an existing document: in place, and the journal keeps nothing of either content.
  const ino_t ino = inode_of(root_ / "d" / "a");
  ASSERT_TRUE(ok(store_->copy_doc("/c/sub/b", "/d/a")));
  EXPECT_EQ(inode_of(root_ / "d" / "a"), ino);
  EXPECT_EQ(slurp(root_ / "d" / "a"), std::string(3 << 20, 'b'));
  ASSERT_TRUE(ok(store_->copy_doc("/c/a", "/e/a")));
  EXPECT_EQ(slurp(root_ / "e" / "a"), "alpha");
  EXPECT_TRUE(no_pending_records());
  EXPECT_TRUE(outside_untouched());
}

TEST_P(StoreTest, StartUpCompletesAWholeJournalRecordInPlace) {
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_doc("/c/d", std::string(3000, 'o'))));
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "c" / "d").c_str(), &st), 0);
  JournalHeader h;
  h.device = st.st_dev;
  h.inode = st.st_ino;
  h.path = "c/d";
  const std::string fresh(1000, 'n');
  h.content_length = fresh.size();
  // As if the service died after the record was synced and before (or while) the document was
  // rewritten: the document may hold any mix of old and new bytes.
  std::string torn = slurp(root_ / "c" / "d");
  torn.replace(0, 500, 500, 'n');
  spit(root_ / "c" / "d", torn);
  write_journal("0000000000000001.jnl", encode_journal_record(h, fresh));
  reopen();
  EXPECT_EQ(slurp(root_ / "c" / "d"), fresh);
  EXPECT_EQ(inode_of(root_ / "c" / "d"), st.st_ino);
  EXPECT_TRUE(no_pending_records());
}

TEST_P(StoreTest, StartUpCompletesTheRecordLeftInASlot) {
  ASSERT_TRUE(ok(store_->add_doc("/s", "before")));
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "s").c_str(), &st), 0);
  JournalHeader h;
  h.device = st.st_dev;
  h.inode = st.st_ino;
  h.path = "s";
  h.content_length = 5;
  // As if the service died between syncing its slot and rewriting the document.
  write_journal("slot-07.jnl", encode_journal_record(h, "after"));
  spit(root_ / "s", "afore");
  reopen();
  EXPECT_EQ(slurp(root_ / "s"), "after");
  EXPECT_EQ(inode_of(root_ / "s"), st.st_ino);
  EXPECT_TRUE(no_pending_records());
  // A cleared slot is not completed again over a later rewrite.
  ASSERT_TRUE(ok(store_->add_doc("/s", "later")));
  reopen();
  EXPECT_EQ(slurp(root_ / "s"), "later");
}

TEST_P(StoreTest, EachHostOfASharedTreeCompletesOnlyItsOwnJournal) {
  ASSERT_TRUE(ok(store_->add_doc("/s", "before")));
  // Host b died half-way through a rewrite; its record keeps the tree id, not its device number.
  kiv::set_tree_id(77);
  JournalHeader h;
  h.device = 77;
  h.inode = inode_of(root_ / "s");
  h.path = "s";
  h.content_length = 5;
  fs::create_directories(root_ / ".kivd" / "journal-b");
  spit(root_ / ".kivd" / "journal-b" / "slot-07.jnl", encode_journal_record(h, "after"));
  reopen(std::uint64_t{512} << 20, "a");
  EXPECT_EQ(slurp(root_ / "s"), "before");  // not a's to complete
  reopen(std::uint64_t{512} << 20, "b");
  kiv::clear_tree_id();
  EXPECT_EQ(slurp(root_ / "s"), "after");
  EXPECT_FALSE(kiv::service::valid_host_id("../x"));
}

TEST_P(StoreTest, StartUpCompletesAStagedRecordAndRemovesItsFile) {
  ASSERT_TRUE(ok(store_->add_doc("/s", "before")));
  spit(root_ / ".kivd-tmp-9-9", "staged content");
  struct stat st {
  }, src{};
  ASSERT_EQ(::stat((root_ / "s").c_str(), &st), 0);
  ASSERT_EQ(::stat((root_ / ".kivd-tmp-9-9").c_str(), &src), 0);
  JournalHeader h;
  h.device = st.st_dev;
  h.inode = st.st_ino;
  h.path = "s";
  h.content_length = 14;
  h.source = ".kivd-tmp-9-9";
  h.source_device = src.st_dev;
  h.source_inode = src.st_ino;
  const std::string record = encode_journal_record(h, "");
  // As if the service died while it copied the staged content in.
  write_journal("slot-03.jnl", record);
  spit(root_ / "s", "staged");
  reopen();
  EXPECT_EQ(slurp(root_ / "s"), "staged content");
  EXPECT_EQ(inode_of(root_ / "s"), st.st_ino);
  EXPECT_FALSE(fs::exists(root_ / ".kivd-tmp-9-9"));
  EXPECT_TRUE(no_pending_records());
  // A record whose staged file is gone (never named, or removed once done) changes nothing.
  ASSERT_TRUE(ok(store_->add_doc("/s", "later")));
  write_journal("slot-03.jnl", record);
  reopen();
  EXPECT_EQ(slurp(root_ / "s"), "later");
  EXPECT_TRUE(no_pending_records());
}

TEST_P(StoreTest, StartUpDropsTornOrStaleJournalRecords) {
  ASSERT_TRUE(ok(store_->add_doc("/d", "old content")));
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "d").c_str(), &st), 0);
  JournalHeader h;
  h.device = st.st_dev;
  h.inode = st.st_ino;
  h.path = "d";
  h.content_length = 11;
  const std::string whole = encode_journal_record(h, "new content");
  write_journal("0000000000000001.jnl", whole.substr(0, whole.size() - 3));  // cut short
  std::string flipped = whole;
  flipped[flipped.size() - 12] ^= 1;  // a content byte no longer matches the checksum
  write_journal("0000000000000002.jnl", flipped);
  h.inode += 1;  // written for a file that has since been replaced by another
  write_journal("0000000000000003.jnl", encode_journal_record(h, "new content"));
  write_journal("stray", "x");
  reopen();
  EXPECT_EQ(slurp(root_ / "d"), "old content");
  EXPECT_TRUE(no_pending_records());
}

TEST_P(StoreTest, MovesAcrossFileSystemsCopyThenDelete) {
  const fs::path mnt = root_ / "mnt";
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  ASSERT_TRUE(ok(store_->add_doc("/far", "travels")));
  ASSERT_TRUE(ok(store_->add_collection("/c")));
  ASSERT_TRUE(ok(store_->add_collection("/c/sub")));
  ASSERT_TRUE(ok(store_->add_doc("/c/sub/d", std::string(3 << 20, 'z'))));
  fs::create_directories(root_ / "c" / ".DAV");
  spit(root_ / "c" / ".DAV" / ".state_for_dir", "props");
  fs::create_directory_symlink(outside_, root_ / "c" / "link");
  ASSERT_TRUE(ok(store_->add_doc("/mnt/taken", "x")));

  EXPECT_FALSE(ok(store_->move("/far", "/mnt/taken", false)));
  EXPECT_TRUE(ok(store_->move("/far", "/mnt/far", false)));
  EXPECT_EQ(slurp(mnt / "far"), "travels");
  EXPECT_FALSE(fs::exists(root_ / "far"));
  EXPECT_TRUE(ok(store_->move("/c", "/mnt/c", true)));
  EXPECT_EQ(slurp(mnt / "c" / "sub" / "d"), std::string(3 << 20, 'z'));
  EXPECT_EQ(slurp(mnt / "c" / ".DAV" / ".state_for_dir"), "props");
  EXPECT_FALSE(fs::exists(mnt / "c" / "link"));  // links are not carried
  EXPECT_FALSE(fs::exists(root_ / "c"));
  EXPECT_TRUE(outside_untouched());
  // A full file system says so, and keeps what it holds.
  EXPECT_EQ(named(store_->add_doc("/mnt/fill", std::string(6 << 20, 'f'))), "no space");
  EXPECT_EQ(named(store_->add_doc("/mnt/far", std::string(6 << 20, 'f'))), "no space");
  EXPECT_EQ(slurp(mnt / "far"), "travels");
  ASSERT_TRUE(ok(store_->add_doc("/big", std::string(6 << 20, 'b'))));
  EXPECT_EQ(named(store_->move("/big", "/mnt/big", false)), "no space");
  EXPECT_EQ(slurp(root_ / "big").size(), std::size_t{6} << 20);
  EXPECT_EQ(named(store_->copy_doc("/big", "/mnt/big")), "no space");
  // A collection copy goes on past the member that does not fit, and names it.
  ASSERT_TRUE(ok(store_->add_collection("/cc")));
  ASSERT_TRUE(ok(store_->move("/big", "/cc/big", false)));
  ASSERT_TRUE(ok(store_->add_doc("/cc/small", "s")));
  std::vector<CopyFailure> failures;
  ASSERT_TRUE(ok(store_->copy_collection("/cc", "/mnt/cc", true, &failures)));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path + ": " + named(failures[0].reason), "big: no space");
  EXPECT_EQ(slurp(mnt / "cc" / "small"), "s");
  for (const auto& e : fs::directory_iterator(mnt)) {
    EXPECT_NE(e.path().filename().string().rfind(".kivd", 0), 0u) << e.path();
  }
}

INSTANTIATE_TEST_SUITE_P(Resolution, StoreTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Openat2" : "Walk"; });

}  // namespace
}  // namespace kiv::service
