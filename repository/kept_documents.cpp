#include "repository/kept_documents.h"

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
  std::list<std::string>::iterator age;
};

struct Store {
  std::mutex mu;
  std::uint64_t generation = 0;
  std::unordered_map<std::string, Kept> documents;
  std::list<std::string> ages;  // most recently used first
  std::size_t bytes = 0;

  // Everything kept belongs to one generation: a new one voids it all.
  void enter(std::uint64_t g) {
    if (g == generation) return;
    documents.clear();
    ages.clear();
    bytes = 0;
    generation = g;
  }

  void drop(std::unordered_map<std::string, Kept>::iterator it) {
    bytes -= it->second.content.size();
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
               DocumentStat* out) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.enter(generation);
  const auto it = s.documents.find(uri);
  if (it == s.documents.end()) return false;
  if (!describes(local, it->second.attributes)) {
    s.drop(it);
    return false;
  }
  s.ages.splice(s.ages.begin(), s.ages, it->second.age);
  *out = DocumentStat();
  out->entry.uri = uri;
  out->has_attributes = true;
  out->attributes = it->second.attributes;
  out->body = DocumentStat::Body::kContent;
  out->content = it->second.content;
  return true;
}

void keep(const std::string& uri, std::uint64_t generation, const apr_finfo_t& local,
          const DocumentStat& found) {
  if (found.entry.collection || !found.has_attributes ||
      found.body != DocumentStat::Body::kContent || found.content.size() > kKeptBytes / 16 ||
      !describes(local, found.attributes)) {
    return;
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.enter(generation);
  if (const auto it = s.documents.find(uri); it != s.documents.end()) s.drop(it);
  while (!s.ages.empty() && s.bytes + found.content.size() > kKeptBytes) {
    s.drop(s.documents.find(s.ages.back()));
  }
  s.ages.push_front(uri);
  s.documents.emplace(uri, Kept{found.attributes, found.content, s.ages.begin()});
  s.bytes += found.content.size();
}

}  // namespace kiv::repository
