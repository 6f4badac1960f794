// Buckets that stand for a range of a document in the repository service. They have their length
// from the start and read nothing until the output filters read them, so that splitting and
// copying them (the byte-range filter's partitions of a Range request) is arithmetic: only the
// ranges asked for are ever fetched. A read fetches one chunk through a reader of the range,
// turns the bucket into that chunk and leaves a bucket for the rest behind it, so that a
// document of any size passes in bounded memory. Every chunk is read from the version that the
// request's lookup described; a rewrite since then ends the response early instead of mixing two
// versions.
#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "common/host.h"
#include "provider/log.h"
#include "provider/repository.h"
#include "repository/repository_internal.h"

extern "C" {
APLOG_USE_MODULE(dav_kiv);
}

namespace kiv::repository {

namespace {

// Most bytes one read of a bucket fetches: the service's chunk.
constexpr apr_size_t kChunk = proto::kMaxChunk;

// What the buckets of one document share, reference-counted by them. Holds nothing of any pool:
// the core may keep the buckets after the handler returned (write completion) and read them
// from another thread, one at a time.
struct RemoteDocument {
  apr_bucket_refcount refcount;  // first: apr_bucket_shared_* see the record as this
  struct State {
    std::string uri;
    DocumentAttributes attributes;
    server_rec* server;  // for log lines; lives as long as the configuration
    // The reader of the range read last, and the next offset it gives: a bucket that starts
    // there reads on with it (the usual case, a response sent in order).
    std::unique_ptr<DocumentSource> reader;
    apr_off_t reader_at = -1;
  } * state;
};

extern "C" {

void remote_destroy(void* data) noexcept {
  auto* doc = static_cast<RemoteDocument*>(data);
  if (apr_bucket_shared_destroy(doc) != 0) {
    delete doc->state;
    delete doc;
  }
}

apr_status_t remote_read(apr_bucket* b, const char** str, apr_size_t* len,
                         apr_read_type_e) noexcept;

// Nothing of the bucket lives in a pool: setting it aside is keeping it.
apr_status_t remote_setaside(apr_bucket*, apr_pool_t*) noexcept {
  return APR_SUCCESS;
}

}  // extern "C"

const apr_bucket_type_t kRemoteBucketType = {
    "KIV_REMOTE",
    5,
    apr_bucket_type_t::APR_BUCKET_DATA,
    remote_destroy,
    remote_read,
    remote_setaside,
    apr_bucket_shared_split,  // arithmetic: the two parts share the document
    apr_bucket_shared_copy,   // arithmetic too
};

// Fills buf with the bytes [start, start + size) of the document; false (logged) when the
// service could not give them.
bool fetch_range(RemoteDocument::State& s, apr_off_t start, apr_size_t size, apr_off_t range_end,
                 char* buf) {
  Status status;
  if (s.reader == nullptr || s.reader_at != start) {
    s.reader.reset();
    status =
        Repository::current().open_reader(s.uri, s.attributes, static_cast<std::uint64_t>(start),
                                          static_cast<std::uint64_t>(range_end - start), &s.reader);
  }
  apr_size_t filled = 0;
  while (status.ok() && filled < size) {
    std::size_t got = 0;
    status = s.reader->read(buf + filled, size - filled, &got);
    if (status.ok() && got == 0) status = Status(Reason::kRange);
    filled += got;
  }
  if (status.ok()) {
    s.reader_at = start + static_cast<apr_off_t>(size);
    return true;
  }
  s.reader.reset();
  s.reader_at = -1;
  ap_log_error(
      APLOG_MARK, APLOG_ERR, 0, s.server,
      KIVLOGNO(10040) "GET %s: the body ends early at byte %" APR_OFF_T_FMT " of %" APR_UINT64_T_FMT
                      ": %s",
      s.uri.c_str(), start, static_cast<apr_uint64_t>(s.attributes.size),
      status.reason() == Reason::kChanged ? "the document was replaced meanwhile" : status.name());
  return false;
}

extern "C" apr_status_t remote_read(apr_bucket* b, const char** str, apr_size_t* len,
                                    apr_read_type_e) noexcept {
  *str = nullptr;
  *len = 0;
  try {
    auto* doc = static_cast<RemoteDocument*>(b->data);
    const apr_off_t start = b->start;
    const apr_size_t size = std::min<apr_size_t>(b->length, kChunk);
    char* buf = static_cast<char*>(apr_bucket_alloc(size, b->list));
    if (buf == nullptr) return APR_ENOMEM;
    if (!fetch_range(*doc->state, start, size, start + static_cast<apr_off_t>(b->length), buf)) {
      apr_bucket_free(buf);
      return APR_EGENERAL;
    }
    // The rest of the range, if any, becomes a bucket of its own behind this one, which keeps
    // this bucket's reference to the document.
    apr_bucket* rest = nullptr;
    if (size < b->length) {
      rest = static_cast<apr_bucket*>(apr_bucket_alloc(sizeof(apr_bucket), b->list));
      if (rest == nullptr) {
        apr_bucket_free(buf);
        return APR_ENOMEM;
      }
      APR_BUCKET_INIT(rest);
      rest->type = &kRemoteBucketType;
      rest->length = b->length - size;
      rest->start = start + static_cast<apr_off_t>(size);
      rest->data = doc;
      rest->free = apr_bucket_free;
      rest->list = b->list;
    } else if (apr_bucket_shared_destroy(doc) != 0) {
      delete doc->state;
      delete doc;
    }
    apr_bucket_heap_make(b, buf, size, apr_bucket_free);
    if (rest != nullptr) APR_BUCKET_INSERT_AFTER(b, rest);
    *str = buf;
    *len = size;
    return APR_SUCCESS;
  } catch (...) {
    return APR_ENOMEM;
  }
}

}  // namespace

apr_bucket* remote_bucket_create(const char* uri, const DocumentAttributes& attributes,
                                 request_rec* r, apr_bucket_alloc_t* list) {
  auto state = std::make_unique<RemoteDocument::State>();
  state->uri = uri;
  state->attributes = attributes;
  state->server = r->server;
  auto* doc = new RemoteDocument{};
  doc->state = state.release();
  auto* b = static_cast<apr_bucket*>(apr_bucket_alloc(sizeof(apr_bucket), list));
  APR_BUCKET_INIT(b);
  b->free = apr_bucket_free;
  b->list = list;
  apr_bucket_shared_make(b, doc, 0, static_cast<apr_size_t>(attributes.size));
  b->type = &kRemoteBucketType;
  return b;
}

}  // namespace kiv::repository
