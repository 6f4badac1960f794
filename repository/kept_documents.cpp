#include "repository/kept_documents.h"

#include <fcntl.h>

#include <cstdio>
#include <iterator>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace kiv::repository {
namespace {

struct Kept {
  DocumentAttributes attributes;
  std::string content;
  UniqueFd descriptor;  // a larger document, as the service opened it: no flock on it
  std::list<std::string>::iterator age;
};

// A description of its own (its own offset, its own flock) of the file fd has open; the file
// is not looked up again.
UniqueFd reopen(int fd) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

struct Store {
  std::mutex mu;
  std::uint64_t generation = 0;
  std::unordered_map<std::string, Kept> documents;
  std::list<std::string> ages;  // most recently used first
  std::size_t bytes = 0;
  std::size_t descriptors = 0;

  // Everything kept belongs to one generation: a new one voids it all.
  void enter(std::uint64_t g) {
    if (g == generation) return;
    documents.clear();
    ages.clear();
    bytes = 0;
    descriptors = 0;
    generation = g;
  }

  void drop(std::unordered_map<std::string, Kept>::iterator it) {
    bytes -= it->second.content.size();
    if (it->second.descriptor.valid()) --descriptors;
    ages.erase(it->second.age);
    documents.erase(it);
  }
};

Store& store() {
  static Store* s = new Store;  // outlives every request thread at exit
  return *s;
}

bool describes(const apr_finfo_t& local, const DocumentAttributes& a) {
  return local.filetype == APR_REG && (local.valid & APR_FINFO_INODE) != 0 &&
         static_cast<std::uint64_t>(local.inode) == a.inode &&
         static_cast<std::uint64_t>(local.device) == a.device &&
         static_cast<std::uint64_t>(local.size) == a.size &&
         local.mtime == static_cast<apr_time_t>(a.mtime_ns / 1000) &&
         local.ctime == static_cast<apr_time_t>(a.ctime_ns / 1000);
}

}  // namespace

bool find_kept(const std::string& uri, std::uint64_t generation, const apr_finfo_t& local,
               bool with_body, DocumentStat* out) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.enter(generation);
  const auto it = s.documents.find(uri);
  if (it == s.documents.end()) return false;
  if (!describes(local, it->second.attributes)) {
    s.drop(it);
    return false;
  }
  *out = DocumentStat();
  if (!with_body) {
    out->body = DocumentStat::Body::kNone;
  } else if (it->second.descriptor.valid()) {
    out->descriptor = reopen(it->second.descriptor.get());
    if (!out->descriptor.valid()) {
      s.drop(it);
      return false;
    }
    out->body = DocumentStat::Body::kDescriptor;
  } else {
    out->body = DocumentStat::Body::kContent;
    out->content = it->second.content;
  }
  s.ages.splice(s.ages.begin(), s.ages, it->second.age);
  out->entry.uri = uri;
  out->has_attributes = true;
  out->attributes = it->second.attributes;
  return true;
}

void keep(const std::string& uri, std::uint64_t generation, const apr_finfo_t& local,
          const DocumentStat& found) {
  if (found.entry.collection || !found.has_attributes || !describes(local, found.attributes)) {
    return;
  }
  Kept kept{found.attributes, {}, {}, {}};
  if (found.body == DocumentStat::Body::kContent && found.content.size() <= kKeptBytes / 16) {
    kept.content = found.content;
  } else if (found.body == DocumentStat::Body::kDescriptor &&
             found.attributes.size <= kKeptOpenSize) {
    // Not a duplicate: that would share the request's flock, and hold it as long as it is kept.
    kept.descriptor = reopen(found.descriptor.get());
    if (!kept.descriptor.valid()) return;
  } else {
    return;
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.enter(generation);
  if (const auto it = s.documents.find(uri); it != s.documents.end()) s.drop(it);
  const std::size_t opened = kept.descriptor.valid() ? 1 : 0;
  while (!s.ages.empty() && (s.bytes + kept.content.size() > kKeptBytes ||
                             s.descriptors + opened > kKeptDescriptors)) {
    s.drop(s.documents.find(s.ages.back()));
  }
  s.ages.push_front(uri);
  s.bytes += kept.content.size();
  s.descriptors += opened;
  kept.age = s.ages.begin();
  s.documents.emplace(uri, std::move(kept));
}

}  // namespace kiv::repository
