#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/PathResolver.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

TEST(PathResolverTest, StandardizesByTheTextAlone) {
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {{"/a/./b//c/../", "/a/b"}, {"/..", "/"},  {"/", "/"},
                        {"/a/b/../../..", "/"},    {"//a", "/a"}, {"/a/.b/..c", "/a/.b/..c"}};
  for (const Case& c : cases) EXPECT_EQ(PathResolver::standardize(c.path), c.expected) << c.path;
  EXPECT_EQ(PathResolver::standardize("x/../y"), fs::current_path().string() + "/y");
}

// A home holding links out of it: each path must come out where the system would really land.
TEST(PathResolverTest, ResolvesToWhereThePathReallyLeads) {
  const std::string home = fs::canonical(test::home()).string();
  const std::string outside = fs::canonical(test::home().parent_path()).string() + "/outside";
  fs::create_directories(outside + "/deep");
  fs::create_directories(home + "/dir");
  fs::create_symlink(outside + "/deep", home + "/out");
  fs::create_symlink(outside + "/new.txt", home + "/dangling");
  fs::create_symlink("../outside/deep", home + "/relative");
  fs::create_symlink(home + "/loop2", home + "/loop1");
  fs::create_symlink(home + "/loop1", home + "/loop2");

  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {home + "/dir/../missing/x", home + "/missing/x"},
      {home + "/out/x", outside + "/deep/x"},
      {home + "/out/../y", outside + "/y"},  // ".." after a link leaves from its target
      {home + "/dangling", outside + "/new.txt"},
      {home + "/relative/z", outside + "/deep/z"},
      {home + "/missing/../out/x", outside + "/deep/x"},
      {"/proc/self/root" + home + "/out/x", outside + "/deep/x"},
      {home + "/dir/./", home + "/dir"},
      {home + "/loop1/x", home + "/loop1/x"},  // a link loop ends as text, not as a hang
  };
  for (const Case& c : cases) EXPECT_EQ(PathResolver::resolve(c.path), c.expected) << c.path;

  const fs::path before = fs::current_path();
  fs::current_path(home);
  EXPECT_EQ(PathResolver::resolve("out/w"), outside + "/deep/w");
  fs::current_path(before);
}

TEST(PathResolverTest, ARootHoldsOnlyWhatFollowsItAtASlash) {
  struct Case {
    std::string path;
    std::string root;
    bool within;
  };
  const Case cases[] = {{"/a", "/a", true},    {"/a/b", "/a", true},  {"/ab", "/a", false},
                        {"/a/b", "/a/", true}, {"/a", "/a/b", false}, {"/x/y", "/", true},
                        {"/", "/", true},      {"/A/b", "/a", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(PathResolver::isWithin(c.path, c.root), c.within) << c.path << " in " << c.root;
  }
}

}  // namespace
}  // namespace tvrn
