#include "service/uri.h"

#include <gtest/gtest.h>

#include <string>

#include "common/names.h"

namespace kiv::service {
namespace {

std::string normalized(const std::string& uri) {
  ParsedUri u;
  std::string why;
  return parse_uri(uri, &u, &why) ? u.normalized : "REFUSED";
}

TEST(UriTest, NormalizesOneTrailingSlashAndKeepsDecodedBytes) {
  EXPECT_EQ(normalized("/"), "/");
  EXPECT_EQ(normalized("/a"), "/a");
  EXPECT_EQ(normalized("/a/"), "/a");
  EXPECT_EQ(normalized("/a b/\xc3\xbc.txt"), "/a b/\xc3\xbc.txt");
  EXPECT_EQ(normalized("/a/.b/..c/...,/%2e%2e"), "/a/.b/..c/...,/%2e%2e");
  ParsedUri u;
  std::string why;
  ASSERT_TRUE(parse_uri("/x/y/z/", &u, &why));
  EXPECT_EQ(u.relative(), "x/y/z");
  EXPECT_EQ(u.parent_relative(), "x/y");
  EXPECT_EQ(u.name(), "z");
}

TEST(UriTest, RefusesWhatCouldEscapeOrNamePrivateEntries) {
  for (const std::string& bad : std::vector<std::string>{"",
                                                         "a",
                                                         "a/b",
                                                         "//",
                                                         "/a//b",
                                                         "/a//",
                                                         "/.",
                                                         "/..",
                                                         "/a/./b",
                                                         "/a/../b",
                                                         "/a/..",
                                                         "/.DAV",
                                                         "/a/.DAV",
                                                         "/a/.DAV/x",
                                                         "/.kivd",
                                                         "/.kivd/journal",
                                                         "/a/.kivd-tmp-1-2",
                                                         "/.kivdx",
                                                         std::string("/a\0b", 4),
                                                         std::string("/\0", 2)}) {
    EXPECT_EQ(normalized(bad), "REFUSED") << "uri: " << bad;
  }
}

TEST(UriTest, CapsTheLength) {
  std::string longest = "/" + std::string(kMaxUriLength - 1, 'x');
  EXPECT_EQ(normalized(longest), longest);
  EXPECT_EQ(normalized(longest + "y"), "REFUSED");
}

TEST(UriTest, HidesStateAndPrivateNamesOnly) {
  EXPECT_TRUE(kiv::is_reserved_name(".DAV"));
  EXPECT_TRUE(kiv::is_reserved_name(".kivd"));
  EXPECT_TRUE(kiv::is_reserved_name(".kivd-tmp-12-3"));
  EXPECT_TRUE(kiv::is_reserved_name(".state_for_dir"));
  EXPECT_TRUE(kiv::is_reserved_name(".locknull"));
  EXPECT_FALSE(kiv::is_reserved_name(".locknull2"));
  EXPECT_FALSE(kiv::is_reserved_name(".dav"));
  EXPECT_FALSE(kiv::is_reserved_name(".DAVx"));
  EXPECT_FALSE(kiv::is_reserved_name("kivd"));
}

TEST(UriTest, PrintableEscapesControlBytes) {
  EXPECT_EQ(printable(std::string("/a\0\n", 4)), "/a\\x00\\x0a");
}

}  // namespace
}  // namespace kiv::service
