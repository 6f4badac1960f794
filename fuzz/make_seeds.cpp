// Writes the starting corpus of every fuzz target: valid inputs made by the real encoders (the
// lock record writer, the property key and header writers, the lock-null list append, the token
// formatter, the frame builder), plus a few near misses. Deterministic: fixed tokens, no clock.
//
//   fuzz_seeds DIR    writes DIR/<target>/<name> for every target, replacing what is there.
#include <apr_general.h>
#include <apr_pools.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/host.h"
#include "fuzz/fuzz_support.h"
#include "locks/lock_record.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "propdb/prop_format.h"
#include "provider/locknull_list.h"
#include "wire/protocol.h"

namespace {

using kiv::fuzz::join_parts;
using kiv::proto::FrameBuilder;
using kiv::proto::Op;
using kiv::proto::Status;

std::string out_dir;
int written = 0;

bool make_dir(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

void seed(const char* target, const std::string& name, std::string_view bytes) {
  const std::string dir = out_dir + "/" + target;
  if (!make_dir(dir)) {
    std::fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    std::exit(1);
  }
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
      std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  ++written;
}

std::string as_string(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

constexpr std::uint8_t kToken[kiv::locks::kTokenSize] = {
    0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0x4d, 0xef, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

std::string name_key(std::string_view path) {
  std::vector<std::uint8_t> key(kiv::locks::name_key_size(path));
  kiv::locks::write_name_key(path, key.data());
  return as_string(key);
}

std::string identity_key(std::uint64_t inode, std::uint64_t device) {
  std::vector<std::uint8_t> key(kiv::locks::kIdentityKeySize);
  kiv::locks::write_identity_key(inode, device, key.data());
  return as_string(key);
}

void lock_record_seeds() {
  kiv::locks::DirectFields exclusive;
  exclusive.scope = 1;
  exclusive.type = 1;
  exclusive.depth = 0;
  exclusive.timeout = 1700000000;
  exclusive.token = kToken;
  exclusive.owner = "<D:href>mailto:jo@example.org</D:href>";
  exclusive.auth_user = "jo";
  kiv::locks::DirectFields shared = exclusive;
  shared.scope = 2;
  shared.depth = 0x7fffffff;
  shared.timeout = 0;
  shared.owner = "";
  shared.auth_user = "";
  const std::string parent = name_key("/srv/repo/dir/");
  kiv::locks::IndirectFields inherited;
  inherited.token = kToken;
  inherited.timeout = 1700000000;
  inherited.key = reinterpret_cast<const std::uint8_t*>(parent.data());
  inherited.key_size = parent.size();

  std::vector<std::uint8_t> record(1024);
  kiv::locks::RecordWriter writer(record.data(), record.size());
  writer.put_direct(exclusive);
  const std::size_t one_direct = writer.size();
  writer.put_direct(shared);
  writer.put_indirect(inherited);
  const std::string whole(record.begin(), record.begin() + writer.size());

  seed("lock_record", "direct", join_parts({whole.substr(0, one_direct), name_key("/srv/a")}));
  seed("lock_record", "mixed", join_parts({whole, identity_key(1234567, 2049)}));
  seed("lock_record", "truncated", join_parts({whole.substr(0, whole.size() - 3), parent}));
  seed("lock_record", "bad_tag", join_parts({whole + "\x80", name_key("/")}));
}

void prop_format_seeds() {
  const std::string_view uris[] = {"DAV:", "urn:x", ""};
  std::string metadata(kiv::propdb::kHeaderSize, '\0');
  kiv::propdb::write_metadata_header(0, 3, metadata.data());
  for (std::string_view u : uris) {
    metadata.append(u);
    metadata.push_back('\0');
  }
  std::string empty(kiv::propdb::kHeaderSize, '\0');
  kiv::propdb::write_metadata_header(0, 0, empty.data());

  auto key = [](int index, std::string_view name) {
    std::string k(kiv::propdb::key_size(index, name.size()), '\0');
    kiv::propdb::write_key(index, name.data(), name.size(), k.data());
    return k;
  };
  const std::string value("\0Jo\0", 4);
  const std::string lang_value("en\0<ns1:given>Jo</ns1:given> &amp; co\0", 39);
  const std::string empty_value("fr\0\0", 4);

  seed("prop_format", "namespaced", join_parts({metadata, key(1, "author"), value}));
  seed("prop_format", "lang", join_parts({metadata, key(0, "displayname"), lang_value}));
  seed("prop_format", "no_namespace",
       join_parts({empty, key(kiv::propdb::kNoNamespace, "color"), empty_value}));
  std::string minor = metadata;
  minor[1] = 7;
  seed("prop_format", "minor", join_parts({minor, key(2, "x"), value}));
}

void locknull_list_seeds() {
  std::string list(64, '\0');
  std::size_t size = 0;
  for (std::string_view name : {"a.txt", "notes", "a.txt"}) {
    size = kiv::locknull_append(list.data(), size, name);
  }
  list.resize(size);
  seed("locknull_list", "three", join_parts({list, "a.txt"}));
  seed("locknull_list", "absent", join_parts({list, "b"}));
  seed("locknull_list", "damaged_tail", join_parts({list + "tail", "notes"}));
}

void lock_token_seeds(apr_pool_t* pool) {
  dav_locktoken token;
  std::memcpy(token.uuid.data, kToken, sizeof token.uuid.data);
  const std::string text = dav_kiv_hooks_locks.format_locktoken(pool, &token);
  seed("lock_token", "formatted", text);
  std::string upper = text;
  for (std::size_t i = 16; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(upper[i]));
  seed("lock_token", "upper", upper);
  seed("lock_token", "bare_scheme", "opaquelocktoken:");
  seed("lock_token", "other_scheme", "urn:uuid:" + text.substr(16));
}

std::string frame(std::uint8_t code, std::initializer_list<std::string_view> fields) {
  return FrameBuilder(code, fields).flatten();
}

std::string request(Op op, std::initializer_list<std::string_view> fields) {
  return frame(static_cast<std::uint8_t>(op), fields);
}

std::string response(Status status, std::initializer_list<std::string_view> fields) {
  return frame(static_cast<std::uint8_t>(status), fields);
}

void request_seeds() {
  const std::string session =
      request(Op::kPing, {}) + request(Op::kAddCollection, {"/a"}) +
      request(Op::kAddDoc, {"/a/b.txt", "hello"}) + request(Op::kAddDoc, {"/a/b.txt", "replaced"}) +
      request(Op::kGetDocContent, {"/a/b.txt"}) + request(Op::kGetSubDirectory, {"/a/"}) +
      request(Op::kGetDirectory, {"/a/b.txt"}) + request(Op::kMoveDoc, {"/a/b.txt", "/c.txt"}) +
      request(Op::kMoveCollection, {"/a", "/d"}) + request(Op::kDelDoc, {"/c.txt"}) +
      request(Op::kDelCollection, {"/d"});
  const std::string copies =
      request(Op::kAuthenticate, {"kiv", "secret"}) + request(Op::kAddCollection, {"/a"}) +
      request(Op::kAddCollection, {"/a/s"}) + request(Op::kAddDoc, {"/a/s/b.txt", "hello"}) +
      request(Op::kCopyDoc, {"/a/s/b.txt", "/a/c.txt"}) +
      request(Op::kCopyDoc, {"/a/c.txt", "/a/s/b.txt"}) +
      request(Op::kCopyCollection, {"/a", "/e", kiv::proto::kDepthInfinity}) +
      request(Op::kCopyCollection, {"/a", "/f", kiv::proto::kDepthZero}) +
      request(Op::kCopyCollection, {"/a", "/a/s/in", kiv::proto::kDepthInfinity});
  // Each fails with its own reason: parent missing, exists, not a document, not found.
  const std::string failures =
      request(Op::kAddDoc, {"/none/b.txt", "x"}) + request(Op::kAddCollection, {"/"}) +
      request(Op::kAddCollection, {"/a"}) + request(Op::kAddCollection, {"/a"}) +
      request(Op::kGetDocContent, {"/a"}) + request(Op::kMoveDoc, {"/none", "/a/c"});
  const std::string refused = request(Op::kAddCollection, {"/a/../.."}) +
                              request(Op::kGetDocContent, {"/.kivd/journal"}) +
                              request(Op::kAddDoc, {"/.DAV", "x"});
  seed("service", "session", session);
  seed("service", "refused", refused);
  seed("service", "failures", failures);
  seed("service", "bad_arity", request(Op::kPing, {}) + request(Op::kDelDoc, {}));
  seed("service", "copies", copies);
  seed("service", "bad_depth", request(Op::kCopyCollection, {"/a", "/b", "1"}));
  // An upload written in pieces, then looked up and read; one aborted, one never begun.
  const std::string ten = kiv::proto::encode_u64(10);
  kiv::proto::Attributes unknown;
  const std::string attributes = kiv::proto::encode_attributes(unknown);
  seed("service", "upload",
       request(Op::kUploadBegin, {"/u", ten}) + request(Op::kUploadWrite, {"hello"}) +
           request(Op::kUploadWrite, {"world"}) + request(Op::kUploadCommit, {ten}) +
           request(Op::kStat, {"/u", "\x01"}) + request(Op::kStat, {"/", "\x03"}) +
           request(Op::kRead, {"/u", attributes, kiv::proto::encode_u64(0),
                               std::string_view("\0\0\0\x05", 4)}) +
           request(Op::kUploadBegin, {"/v", ""}) + request(Op::kUploadWrite, {"x"}) +
           request(Op::kUploadAbort, {}) + request(Op::kUploadBegin, {"/none/w", ""}) +
           request(Op::kUploadWrite, {"y"}) + request(Op::kUploadCommit, {ten}) +
           request(Op::kUploadBegin, {"/w", ""}) +
           request(Op::kUploadCommitNew, {kiv::proto::encode_u64(0)}));
  seed("service", "cut_short", session.substr(0, session.size() / 2));
  seed("frame", "session", session);
}

void answer_seeds() {
  const kiv::Reason not_found = kiv::Reason::kNotFound;
  const kiv::Reason busy = kiv::Reason::kBusy;
  const kiv::Reason too_large = kiv::Reason::kTooLarge;
  const std::string_view not_found_field = kiv::proto::reason_field(not_found);
  const std::string_view busy_field = kiv::proto::reason_field(busy);
  const std::string_view too_large_field = kiv::proto::reason_field(too_large);
  seed("frame", "responses",
       response(Status::kOk, {"/a/", "b.txt", "D", "sub", "C"}) + response(Status::kFalse, {}) +
           response(Status::kFalse, {not_found_field}) + response(Status::kBadRequest, {}) +
           response(Status::kBadRequest, {too_large_field}));

  // The first byte picks the client operation (see client_fuzz.cpp), modulo 14: 0 Lookup,
  // 1 ListMembers, 2 FetchDoc, 3 StoreDoc, 4 MakeCollection, 5 and 6 Move, 7 DeleteDoc,
  // 8 DeleteAny, 9 CopyDoc, 10 CopyCollection, 11 Stat, 12 a DocumentReader, 13 a
  // DocumentUpload; 14 and above run the older call that wraps the typed one, where there is
  // one; with bit 7 set the client presents credentials first, whose answer comes first.
  auto client = [](const char* name, int operation, const std::string& answer) {
    seed("client", name, std::string(1, static_cast<char>(operation)) + answer);
  };
  const std::string accepted = response(Status::kOk, {});
  client("directory", 0, response(Status::kOk, {"/a", "a", "D"}));
  client("listing", 1, response(Status::kOk, {"/a/", "b.txt", "D", "sub", "C"}));
  client("content", 2, response(Status::kOk, {"hello"}));
  client("add_doc", 3, response(Status::kOk, {}));
  client("false", 4, response(Status::kFalse, {}));
  client("not_found", 0, response(Status::kFalse, {not_found_field}));
  client("busy", 17, response(Status::kFalse, {busy_field}));
  client("copy_doc", 9, response(Status::kOk, {}));
  client("copy_failures", 10, response(Status::kOk, {"sub/", too_large_field, "a", busy_field}));
  client("authenticated", 0x80 | 10, accepted + response(Status::kOk, {}));
  client("auth_refused", 0x80 | 4, response(Status::kFalse, {"\x0d"}));
  client("auth_busy", 0x80, response(Status::kFalse, {busy_field}));
  kiv::proto::Attributes five;
  five.size = 5;
  const std::string five_bytes = kiv::proto::encode_attributes(five);
  const kiv::Reason changed = kiv::Reason::kChanged;
  const std::string stat_none = response(Status::kOk, {"/a", "a", "D", five_bytes, "N"});
  client("stat_content", 11, response(Status::kOk, {"/a", "a", "D", five_bytes, "C", "hello"}));
  client("stat_none", 11, stat_none);
  client("read_chunk", 12, response(Status::kOk, {"hello"}));
  client("read_changed", 12, response(Status::kFalse, {kiv::proto::reason_field(changed)}));
  client("read_authenticated", 0x80 | 12, accepted + response(Status::kOk, {"hello"}));
  client("fetch_by_reader", 2, stat_none + response(Status::kOk, {"hello"}));
  client("upload", 13, response(Status::kOk, {}) + response(Status::kOk, {five_bytes}));
  client("too_large", 3, response(Status::kBadRequest, {too_large_field}));
  client("client_reason", 7, response(Status::kFalse, {"\x0b"}));
  client("ping", 8, response(Status::kOk, {kiv::proto::kPingAnswer}));
}

void uri_seeds() {
  seed("uri", "root", "/");
  seed("uri", "nested", "/a/b c/d.txt");
  seed("uri", "collection", "/a/b/");
  seed("uri", "dots", "/a/../b");
  seed("uri", "private", "/x/.kivd-tmp-1-2");
  seed("uri", "control", std::string("/a\x01\x7f\\b", 6));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  out_dir = argv[1];
  if (!make_dir(out_dir)) {
    std::fprintf(stderr, "cannot create %s: %s\n", out_dir.c_str(), std::strerror(errno));
    return 1;
  }
  apr_initialize();
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  lock_record_seeds();
  prop_format_seeds();
  locknull_list_seeds();
  lock_token_seeds(pool);
  request_seeds();
  answer_seeds();
  uri_seeds();
  apr_pool_destroy(pool);
  apr_terminate();
  std::printf("%d seeds in %s\n", written, out_dir.c_str());
  return 0;
}
