#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/OpenFolder.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& file) {
  struct stat info {};
  return ::lstat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// What is written goes into the folder that was opened, even once a link has taken its name,
// with exactly the mode asked for whatever the umask; a link in the file's place is replaced,
// never written through.
TEST(OpenFolderTest, WritesLandInTheOpenedFolder) {
  const fs::path home = test::home();
  fs::create_directories(home / "docs");
  fs::create_directories(home / "elsewhere");
  test::writeFile(home / "target.txt", "T");
  auto folder = OpenFolder::open(home / "docs");
  ASSERT_TRUE(folder);
  fs::rename(home / "docs", home / "moved");
  fs::create_directory_symlink(home / "elsewhere", home / "docs");
  fs::create_symlink(home / "target.txt", home / "moved" / "linked.txt");

  const mode_t umask = ::umask(0);
  EXPECT_EQ(folder.value().writeFile("new.txt", "N", 0644), 0);
  EXPECT_EQ(folder.value().writeFile("linked.txt", "L", 0600), 0);
  ::umask(umask);

  EXPECT_EQ(test::contentsOf(home / "moved"),
            (std::map<std::string, std::string>{{"linked.txt", "L"}, {"new.txt", "N"}}));
  EXPECT_EQ(modeOf(home / "moved" / "new.txt"), 0644u);
  EXPECT_EQ(modeOf(home / "moved" / "linked.txt"), 0600u);
  EXPECT_TRUE(test::namesIn(home / "elsewhere").empty());
  EXPECT_EQ(test::readFile(home / "target.txt"), "T");
  EXPECT_EQ(folder.value().realPath(), fs::canonical(home / "moved").string());
}

// Missing folders are made only once the deepest one that exists is accepted, and never through a
// link on the way (one swapped in since the path was walked).
TEST(OpenFolderTest, MakesMissingFoldersOnlyWhereAccepted) {
  const fs::path wanted = fs::canonical(test::home()) / "a" / "b" / "c";
  fs::path offered;
  const auto refuse = [&](const OpenFolder& existing) {
    offered = existing.realPath();
    return false;
  };
  const auto made = OpenFolder::make(wanted, refuse);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error(), EPERM);
  EXPECT_EQ(offered, fs::canonical(test::home()));
  EXPECT_FALSE(fs::exists(test::home() / "a"));

  const auto accept = [](const OpenFolder&) { return true; };
  auto accepted = OpenFolder::make(wanted, accept);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted.value().realPath(), fs::canonical(wanted).string());

  fs::create_directory_symlink(test::home() / "a", test::home() / "via");
  EXPECT_FALSE(OpenFolder::make(test::home() / "via" / "d", accept));
  EXPECT_FALSE(fs::exists(test::home() / "a" / "d"));
}

}  // namespace
}  // namespace tvrn
