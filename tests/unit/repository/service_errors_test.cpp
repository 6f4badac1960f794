// The repository hooks against a repository service that fails on demand: what each failure of
// each operation answers, and how many calls an operation makes.
#include <cstring>
#include <string>

#include "common/host.h"
#include "provider/resource.h"
#include "repository/repository.h"
#include "tests/support/fake_repository.h"
#include "tests/support/module_test.h"

namespace {

using kiv::Reason;
using Fake = kiv_test::FakeRepository;

constexpr const char* kUnavailable = "The document repository is unavailable; try again later.";

class ServiceErrorsTest : public kiv_test::AprTest {
 protected:
  void SetUp() override {
    AprTest::SetUp();
    kiv::Repository::install(&fake_);
    request_.pool = pool_;
    request_.uri = apr_pstrdup(pool_, "/doc.txt");
    request_.filename = apr_pstrdup(pool_, "/nonexistent-kiv/doc.txt");
    request_.method_number = M_GET;
    request_.headers_in = apr_table_make(pool_, 1);
  }
  void TearDown() override {
    kiv::Repository::install(nullptr);
    AprTest::TearDown();
  }

  // A resource at a local path that does not exist, so that every move goes through the service.
  dav_resource* resource(const char* uri, bool collection) {
    return kiv_test::make_resource(pool_, std::string("/nonexistent-kiv") + uri, collection, uri);
  }

  dav_error* get_resource(dav_resource** found) {
    return dav_kiv_hooks_repository.get_resource(&request_, nullptr, nullptr, 0, found);
  }

  dav_error* put(const std::string& body, int commit) {
    dav_stream* stream = nullptr;
    if (dav_error* err =
            hooks_.open_stream(resource("/doc.txt", false), DAV_MODE_WRITE_TRUNC, &stream)) {
      return err;
    }
    for (std::size_t at = 0; at < body.size(); at += 3) {
      if (dav_error* err = hooks_.write_stream(stream, body.data() + at,
                                               std::min<std::size_t>(3, body.size() - at))) {
        return err;
      }
    }
    return hooks_.close_stream(stream, commit);
  }

  // Runs the hook of a request method (or the lookup every request starts with) once.
  dav_error* run(const std::string& method) {
    dav_resource* found = nullptr;
    dav_response* response = nullptr;
    if (method == "lookup") return get_resource(&found);
    if (method == "PUT") return put("body", 1);
    if (method == "GET") return hooks_.deliver(resource("/doc.txt", false), nullptr);
    if (method == "MKCOL") return hooks_.create_collection(resource("/coll", true));
    if (method == "MOVE") {
      return hooks_.move_resource(resource("/doc.txt", false), resource("/no/doc.txt", false),
                                  &response);
    }
    if (method == "COPY") {
      return hooks_.copy_resource(resource("/doc.txt", false), resource("/no/copy.txt", false), 0,
                                  &response);
    }
    return hooks_.remove_resource(resource("/doc.txt", false), &response);  // DELETE
  }

  const dav_hooks_repository& hooks_ = dav_kiv_hooks_repository;
  request_rec request_{};
  Fake fake_;
};

TEST_F(ServiceErrorsTest, EveryFailureAnswersTheStatusAndTextOfItsReason) {
  const struct {
    const char* method;
    Fake::Op op;
    Reason reason;
    int status;
    const char* text;  // null: none
  } cases[] = {
      {"lookup", Fake::kLookup, Reason::kUnavailable, 503, kUnavailable},
      {"lookup", Fake::kLookup, Reason::kIo, 500,
       "Could not look the resource up in the repository."},
      {"PUT", Fake::kStore, Reason::kParentMissing, 409,
       "Cannot store the document: its parent collection does not exist."},
      {"PUT", Fake::kStore, Reason::kNoSpace, 507,
       "The document repository has no space left for this request."},
      {"PUT", Fake::kStore, Reason::kRefusedName, 403,
       "The repository refuses to store a document under this name."},
      {"PUT", Fake::kStore, Reason::kTooLarge, 413,
       "The document is larger than the repository accepts."},
      {"PUT", Fake::kStore, Reason::kIo, 500, "Could not store the document in the repository."},
      {"PUT", Fake::kStore, Reason::kUnavailable, 503, kUnavailable},
      {"GET", Fake::kFetch, Reason::kNotFound, 404,
       "The document was removed from the repository meanwhile."},
      {"GET", Fake::kFetch, Reason::kBadAnswer, 500,
       "Could not read the document from the repository."},
      {"MKCOL", Fake::kMakeCollection, Reason::kExists, 405,
       "Unable to create collection: the name was taken meanwhile."},
      {"MKCOL", Fake::kMakeCollection, Reason::kParentMissing, 409,
       "Unable to create collection: the parent collection does not exist."},
      {"MKCOL", Fake::kMakeCollection, Reason::kRefusedName, 403, "Unable to create collection."},
      {"MKCOL", Fake::kMakeCollection, Reason::kIo, 403, "Unable to create collection."},
      {"MKCOL", Fake::kMakeCollection, Reason::kBusy, 503,
       "The document repository is busy; try again later."},
      {"MOVE", Fake::kMove, Reason::kExists, 412, "The destination was created meanwhile."},
      {"MOVE", Fake::kMove, Reason::kParentMissing, 409,
       "Cannot move the resource: the destination's parent collection does not exist."},
      {"MOVE", Fake::kMove, Reason::kIo, 500, "Could not move the resource in the repository."},
      {"COPY", Fake::kCopy, Reason::kParentMissing, 409,
       "Cannot copy the resource: the destination's parent collection does not exist."},
      {"COPY", Fake::kCopy, Reason::kNotDocument, 409,
       "Cannot copy the document: a collection took the place of the source or the destination."},
      {"COPY", Fake::kCopy, Reason::kNotFound, 404,
       "The source was removed from the repository meanwhile."},
      {"COPY", Fake::kCopy, Reason::kIo, 500, "Could not copy the resource in the repository."},
      {"COPY", Fake::kCopy, Reason::kExists, 412, "The destination was created meanwhile."},
      {"COPY", Fake::kCopy, Reason::kRefusedName, 403,
       "The repository refuses to copy the resource to this destination."},
      {"DELETE", Fake::kDelete, Reason::kNotDocument, 403, nullptr},
      {"DELETE", Fake::kDelete, Reason::kIo, 403, nullptr},
  };
  for (const auto& c : cases) {
    Fake fresh;
    fresh.collections["/doc.txt"] = false;
    fresh.fail(c.op, c.reason);
    kiv::Repository::install(&fresh);
    const std::string what = std::string(c.method) + " " + kiv::reason_name(c.reason);
    dav_error* err = run(c.method);
    ASSERT_NE(err, nullptr) << what;
    EXPECT_EQ(err->status, c.status) << what;
    EXPECT_STREQ(err->desc, c.text) << what;
    EXPECT_EQ(fresh.calls(c.op), 1) << what;  // MKCOL too: one call, whose reason says why
  }
}

TEST_F(ServiceErrorsTest, OnlyOptionsIsDescribedFromTheLocalFileWhileTheServiceIsDown) {
  fake_.set_down(true);
  dav_resource* found = nullptr;
  request_.method_number = M_OPTIONS;
  ASSERT_EQ(get_resource(&found), nullptr);
  EXPECT_EQ(found->exists, 0);  // no local file either

  // A name that the service refuses, or that is simply not there, does not exist.
  fake_.set_down(false);
  request_.method_number = M_GET;
  for (Reason reason : {Reason::kNotFound, Reason::kRefusedName, Reason::kNotCollection}) {
    fake_.fail(Fake::kLookup, reason);
    ASSERT_EQ(get_resource(&found), nullptr);
    EXPECT_EQ(found->exists, 0);
  }
}

TEST_F(ServiceErrorsTest, AnUploadIsStoredWholeOnCommitAndNotAtAllOtherwise) {
  ASSERT_EQ(put("a body of many blocks", 0), nullptr);
  EXPECT_EQ(fake_.calls(Fake::kStore), 0);
  ASSERT_EQ(put("a body of many blocks", 1), nullptr);
  EXPECT_EQ(fake_.stored_uri, "/doc.txt");
  EXPECT_EQ(fake_.stored, "a body of many blocks");
}

TEST_F(ServiceErrorsTest, PartialPutIsRefusedBeforeItsBody) {
  request_.method_number = M_PUT;
  apr_table_setn(request_.headers_in, "Content-Range", "bytes 0-2/3");
  dav_error* err = nullptr;
  ASSERT_EQ(
      dav_kiv_method_precondition(&request_, resource("/doc.txt", false), nullptr, nullptr, &err),
      OK);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_BAD_REQUEST);
  EXPECT_EQ(fake_.calls(Fake::kStore), 0);
}

}  // namespace
