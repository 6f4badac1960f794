// The lock-null list in memory and the paths of its file.
#include "provider/locknull_list.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace kiv::locks {
namespace {

std::string removed(std::string list, std::string_view name, bool* found = nullptr) {
  std::size_t size = list.size();
  const bool hit = locknull_remove_first(list.data(), &size, name);
  if (found != nullptr) *found = hit;
  list.resize(size);
  return list;
}

TEST(LocknullList, AppendingTwiceStoresTwice) {
  std::string list(16, '?');
  std::size_t size = locknull_append(list.data(), 0, "a.xml");
  size = locknull_append(list.data(), size, "a.xml");
  EXPECT_EQ(list.substr(0, size), std::string("a.xml\0a.xml\0", 12));
}

TEST(LocknullList, RemovalTakesOutOnlyTheFirstEqualName) {
  bool found = false;
  EXPECT_EQ(removed(std::string("a\0bb\0a\0", 7), "a", &found), std::string("bb\0a\0", 5));
  EXPECT_TRUE(found);
  EXPECT_EQ(removed(std::string("a\0", 2), "a"), "");
}

TEST(LocknullList, RemovalComparesWholeNamesByteForByte) {
  const std::string list("ab\0A\0", 5);
  for (const char* other : {"a", "abc", "b", "AB"}) {
    bool found = true;
    EXPECT_EQ(removed(list, other, &found), list) << other;
    EXPECT_FALSE(found) << other;
  }
}

TEST(LocknullList, UnterminatedTailIsKeptAndNeverMatches) {
  bool found = true;
  EXPECT_EQ(removed(std::string("a\0b", 3), "b", &found), std::string("a\0b", 3));
  EXPECT_FALSE(found);
  EXPECT_EQ(removed(std::string("a\0b", 3), "a"), "b");
  EXPECT_EQ(locknull_names(std::string_view("a\0\0a\0b", 6)),
            (std::vector<std::string_view>{"a", "", "a"}));
}

TEST(LocknullPaths, ReadAndWritePathsAreOneFile) {
  EXPECT_EQ(locknull_read_path("/srv/d"), "/srv/d/.DAV/.locknull");
  EXPECT_EQ(locknull_read_path("/srv/d/"), "/srv/d/.DAV/.locknull");
  EXPECT_EQ(locknull_write_path("/srv/d", "/srv/d"), "/srv/d/.DAV/.locknull");
  EXPECT_EQ(locknull_write_path("/srv/d/", "/srv/d"), "/srv/d/.DAV/.locknull");
  EXPECT_EQ(locknull_read_path("/"), "/.DAV/.locknull");
  EXPECT_EQ(locknull_write_path("/", "/"), "/.DAV/.locknull");
}

TEST(LocknullPaths, EmptyUploadsPathFallsBackToTheDirectoryPath) {
  EXPECT_EQ(locknull_write_path("", "/srv/d"), locknull_read_path("/srv/d"));
  EXPECT_EQ(locknull_write_path("", "/srv/d/"), locknull_read_path("/srv/d/"));
  EXPECT_EQ(locknull_write_path("", ""), locknull_read_path(""));
  EXPECT_EQ(locknull_read_path(""), "/.DAV/.locknull");
}

}  // namespace
}  // namespace kiv::locks
