#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/PathResolver.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

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

  const std::pair<std::string, std::string> cases[] = {
      {home + "/dir/../missing/./x//", home + "/missing/x"},
      {home + "/out/../y", outside + "/y"},  // ".." after a link leaves from its target
      {home + "/dangling", outside + "/new.txt"},
      {home + "/relative/z", outside + "/deep/z"},
      {home + "/missing/../out/x", outside + "/deep/x"},
      {"/proc/self/root" + home + "/out/x", outside + "/deep/x"},
      {home + "/loop1/x", home + "/loop1/x"},  // a link loop ends as text, not as a hang
      {"/../..", "/"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(PathResolver::resolve(path), expected);
  EXPECT_EQ(PathResolver::standardize(home + "/out/../y"), home + "/y");
}

}  // namespace
}  // namespace tvrn
