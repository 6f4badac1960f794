// Documents as the repository service last described them, kept by each server process so that
// a GET of one that has not changed costs no round trip: a small one with its content, a larger
// one as the service handed it over open (each use opens the file anew through that descriptor,
// for a flock of its own).
//
// An answer is kept only when the repository's generation was the same, with no change under
// way, before and after it was asked for; it is used only while the generation is still that
// one and the local file is still the one it describes (the same inode, size and times), so
// that neither a change through the service nor one behind its back is ever answered stale.
// Bounded in bytes; thread-safe.
#ifndef KIV_REPOSITORY_KEPT_DOCUMENTS_H_
#define KIV_REPOSITORY_KEPT_DOCUMENTS_H_

#include <apr_file_info.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "provider/repository.h"

namespace kiv::repository {

// What all kept documents together may hold, in content bytes and in open descriptors.
inline constexpr std::size_t kKeptBytes = std::size_t{8} << 20;
inline constexpr std::size_t kKeptDescriptors = 64;
// The largest document kept open: a kept descriptor holds the file's blocks after a DELETE until
// the process next looks a document up, and one trip more costs a large GET next to nothing.
inline constexpr std::uint64_t kKeptOpenSize = std::uint64_t{8} << 20;

// The document uri as kept in generation, if its local file is still described by local; with
// its body (content, or the file opened anew) only where with_body asks for it.
bool find_kept(const std::string& uri, std::uint64_t generation, const apr_finfo_t& local,
               bool with_body, DocumentStat* out);
// Keeps found (a document that came with its content or open) as the answer for uri in
// generation, where local describes the same file.
void keep(const std::string& uri, std::uint64_t generation, const apr_finfo_t& local,
          const DocumentStat& found);

}  // namespace kiv::repository

#endif  // KIV_REPOSITORY_KEPT_DOCUMENTS_H_
