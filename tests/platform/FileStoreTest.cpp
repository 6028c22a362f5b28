#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/FileStore.h"
#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"
#include "support/OtherUserLink.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(FileStoreTest, WritesPrivateFilesInPrivateFolders) {
  const auto file = Paths::appSupport() / "nested" / "settings.json";
  ASSERT_TRUE(FileStore::writeAtomic(file, "{}"));
  EXPECT_EQ(test::readFile(file), "{}");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(modeOf(Paths::appSupport()), 0700u);
}

TEST(FileStoreTest, ReplacesWholeFileAndLeavesNoTemporaries) {
  const auto file = Paths::appSupport() / "a.txt";
  ASSERT_TRUE(FileStore::writeAtomic(file, std::string(10000, 'x')));
  ASSERT_TRUE(FileStore::writeAtomic(file, "short"));
  EXPECT_EQ(FileStore::read(file).value_or(""), "short");
  int entries = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(file.parent_path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(FileStoreTest, ReportsWhyAWriteFailed) {
  test::writeFile(test::home() / "blocker", "a file where a folder should be");
  std::string error;
  EXPECT_FALSE(FileStore::writeAtomic(test::home() / "blocker" / "x.json", "{}", 0600, &error));
  EXPECT_FALSE(error.empty());
}

TEST(FileStoreTest, TellsAMissingFileFromOneThatCannotBeRead) {
  test::writeFile(test::home() / "plain", "x");
  std::filesystem::create_symlink(test::home() / "gone", test::home() / "dangling");
  ASSERT_EQ(::mkfifo((test::home() / "pipe").c_str(), 0600), 0);
  const struct {
    const char* name;
    bool missing;
  } rows[] = {
      // clang-format off
      {"missing", true},
      {"plain/below-a-file", true},
      {".", false},         // a folder is no file
      {"dangling", false},  // a link is something
      {"pipe", false},      // answered at once, never waited on
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FileStore::ReadError error;
    EXPECT_FALSE(FileStore::read(test::home() / row.name, &error).has_value());
    EXPECT_EQ(error.missing, row.missing);
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST(FileStoreTest, EnsuresPrivateFilesAndAppendsOnlyWhereAsked) {
  const auto file = Paths::appSupport() / "logs" / "a.log";
  ASSERT_TRUE(FileStore::ensureFile(file));
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  ::chmod(file.c_str(), 0644);
  ASSERT_TRUE(FileStore::ensureFile(file));
  EXPECT_EQ(modeOf(file), 0600u) << "an existing file is made private too";

  EXPECT_TRUE(FileStore::append(file, "one\n"));
  EXPECT_TRUE(FileStore::append(file, "two\n"));
  EXPECT_EQ(test::readFile(file), "one\ntwo\n");

  std::filesystem::remove(file);
  EXPECT_FALSE(FileStore::append(file, "lost\n"));
  EXPECT_FALSE(std::filesystem::exists(file)) << "a removed file stays removed";
  EXPECT_TRUE(FileStore::append(file, "back\n", 0600));
  EXPECT_EQ(test::readFile(file), "back\n");
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(FileStoreTest, MovesDamagedFilesAsideUnderFreshNames) {
  const auto file = Paths::appSupport() / "config.json";
  std::vector<std::string> names;
  for (const char* bytes : {"first", "second", "third"}) {
    test::writeFile(file, bytes);
    const auto moved = FileStore::moveAside(file);
    ASSERT_TRUE(moved.has_value());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(test::readFile(*moved), bytes);
    names.push_back(moved->filename().string());
  }
  // All three may fall in one second; the later ones then get a number.
  const std::string stamped = names[0];
  ASSERT_EQ(stamped.rfind("config.json.corrupt-", 0), 0u) << stamped;
  EXPECT_EQ(stamped.size(), std::string("config.json.corrupt-20250131T090507Z").size());
  if (names[2].rfind(stamped, 0) == 0) {
    EXPECT_EQ(names[1], stamped + "-2");
    EXPECT_EQ(names[2], stamped + "-3");
  }

  std::string reason;
  EXPECT_FALSE(FileStore::moveAside(file, &reason).has_value());
  EXPECT_FALSE(reason.empty());
}

// A chain of links is followed exactly as far as the kernel follows one when it opens the file,
// links to folders on the way counted too: open() on the same chain is the oracle. Where the
// kernel gives up, nothing is followed, and a writer leaves every link as it was.
TEST(FileStoreTest, FollowsAChainOfLinksExactlyAsFarAsOpenDoes) {
  const struct {
    int links;         // in the chain, one to the next
    const char* last;  // where the last leads
    bool opens;        // what open() is expected to say, so the oracle is known to be set up
  } rows[] = {
      // clang-format off
      {40, "real/target.json", true},
      {41, "real/target.json", false},
      {39, "folder/target.json", true},  // the linked folder is one link more
      {40, "folder/target.json", false},
      {2, "link0", false},  // a loop
      // clang-format on
  };
  const auto dir = test::home() / "chain";
  const auto link = [&](int n) { return dir / ("link" + std::to_string(n)); };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.links) + " links to " + row.last);
    std::filesystem::remove_all(dir);
    test::writeFile(dir / "real" / "target.json", "{}");
    std::filesystem::create_directory_symlink("real", dir / "folder");
    for (int n = 0; n < row.links; ++n) {
      std::filesystem::create_symlink(
          n + 1 == row.links ? std::filesystem::path(row.last) : link(n + 1).filename(), link(n));
    }
    const int fd = ::open(link(0).c_str(), O_RDONLY | O_CLOEXEC);
    const bool opens = fd >= 0;
    if (opens) ::close(fd);
    ASSERT_EQ(opens, row.opens) << std::strerror(errno);

    const auto followed = FileStore::throughLinks(link(0));
    ASSERT_EQ(followed.ok(), opens);
    if (opens) {
      EXPECT_EQ(followed.value(), std::filesystem::canonical(dir / "real" / "target.json"));
    } else {
      EXPECT_EQ(followed.error(),
                link(0).string() + ": more than 40 links lead on from it; not followed");
    }
    const auto update = JsonObjectFile::update(link(0), [](auto& o) { o["added"] = true; });
    EXPECT_EQ(update.written, opens);
    EXPECT_EQ(test::readFile(dir / "real" / "target.json"),
              opens ? "{\n  \"added\": true\n}\n" : "{}");
    for (int n = 0; n < row.links; ++n) EXPECT_TRUE(std::filesystem::is_symlink(link(n))) << n;
  }
}

// Only links of the user running the process, or of root, are followed: another user's link,
// wherever it lies on the way, is refused by its path and its owner.
TEST(FileStoreTest, FollowsOnlyLinksOfTheUserOrRoot) {
  if (!test::canGiveLinksAway()) {
    GTEST_SKIP() << "only root can make a link that belongs to another user";
  }
  const auto dir = test::home() / "links";
  test::writeFile(dir / "real" / "target.json", "{}");
  std::filesystem::create_symlink("real/target.json", dir / "own");
  ASSERT_TRUE(test::makeOtherUsersLink("real/target.json", dir / "other"));
  std::filesystem::create_symlink("other", dir / "ownToOther");
  ASSERT_TRUE(test::makeOtherUsersLink("real", dir / "otherFolder"));
  // Below dir, and the link named in the refusal (none when followed).
  const std::pair<const char*, const char*> rows[] = {
      {"own", nullptr},
      {"other", "other"},
      {"ownToOther", "other"},
      {"otherFolder/target.json", "otherFolder"},
  };
  for (const auto& [path, refusedAt] : rows) {
    SCOPED_TRACE(path);
    const auto followed = FileStore::throughLinks(dir / path);
    ASSERT_EQ(followed.ok(), refusedAt == nullptr);
    EXPECT_EQ(FileStore::append(dir / path, path), refusedAt == nullptr) << "as a log appends";
    if (followed) {
      EXPECT_EQ(followed.value(), std::filesystem::canonical(dir / "real" / "target.json"));
    } else {
      EXPECT_EQ(followed.error(), (dir / refusedAt).string() + ": a link owned by nobody (uid " +
                                      "65534), not by this user or root; not followed");
    }
  }
  EXPECT_EQ(test::readFile(dir / "real" / "target.json"), "{}own");
}

TEST(PathsTest, FollowsTheEnvironmentAtEachCall) {
  EXPECT_EQ(Paths::appSupport(), test::home() / ".config" / "tavrin");
  EXPECT_EQ(Paths::localShare(), test::home() / ".local" / "share" / "tavrin");
  ::setenv("XDG_CONFIG_DIRS", "/opt/one:/opt/two", 1);
  EXPECT_EQ(Paths::systemConfigDir(), std::filesystem::path("/opt/one/tavrin"));
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(Paths::appSupport(), test::home() / ".config" / "tavrin");
  ::setenv("XDG_CONFIG_HOME", "/elsewhere", 1);
  EXPECT_EQ(Paths::appSupport(), std::filesystem::path("/elsewhere/tavrin"));
}

}  // namespace
}  // namespace tvrn
