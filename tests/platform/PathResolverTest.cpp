#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/PathResolver.h"
#include "platform/Paths.h"
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

// However a path is spelt, it is judged by the folder it really leads into.
TEST(PathResolverTest, FindsPathsLeadingIntoTheSystemsOwnFolders) {
  const std::string home = fs::canonical(test::home()).string();
  const std::string settings = PathResolver::resolve(Paths::appSupport().string());
  const std::string data = PathResolver::resolve(Paths::localShare().string());
  fs::create_directories(settings);
  fs::create_directories(home + "/Documents");
  fs::create_symlink(data + "/new.docx", home + "/Documents/dangling.docx");

  const std::pair<std::string, std::string> cases[] = {
      {settings + "/config.json", settings},
      {settings, settings},
      {home + "/Documents/../.config/./tavrin/x", settings},
      {home + "/Documents/dangling.docx", data},
      {data + "/mcp.sock", data},
      {settings + "-other/config.json", ""},
      {home + "/.config", ""},
      {settings + "/../other", ""},
  };
  for (const auto& [path, folder] : cases) {
    EXPECT_EQ(PathResolver::ownFolderHolding(path).value_or(""), folder) << path;
  }
}

// An open file is judged by the file itself: however it was reached, and under whatever other
// name it has.
TEST(PathResolverTest, JudgesOpenFilesByWhatTheyAre) {
  const std::string home = fs::canonical(test::home()).string();
  const std::string settings = PathResolver::resolve(Paths::appSupport().string());
  const std::string data = PathResolver::resolve(Paths::localShare().string());
  test::writeFile(settings + "/config.json", "{}");
  test::writeFile(data + "/tray/deep/state.json", "{}");
  test::writeFile(home + "/mine.txt", "mine");
  fs::create_hard_link(settings + "/config.json", home + "/config-too.txt");
  fs::create_hard_link(data + "/tray/deep/state.json", home + "/state-too.txt");
  fs::create_hard_link(home + "/mine.txt", home + "/mine-too.txt");
  fs::create_symlink(settings, home + "/settings-link");

  const std::pair<std::string, std::string> cases[] = {
      {settings + "/config.json", settings},
      {home + "/settings-link/config.json", settings},
      {home + "/config-too.txt", settings},
      {home + "/state-too.txt", data},
      {home + "/settings-link", settings},
      {home + "/mine-too.txt", ""},
      {home + "/mine.txt", ""},
  };
  for (const auto& [path, folder] : cases) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(PathResolver::ownFolderHoldingOpenFile(fd).value_or(""), folder) << path;
    ::close(fd);
  }
}

}  // namespace
}  // namespace tvrn
