// A symbolic link that belongs to another user, as one planted in a shared folder would. Only root
// can give a link away, so tests that need one skip elsewhere.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/CapturedStderr.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// The account the link is given to: nobody, which owns nothing of the test's.
inline constexpr uid_t kOtherUser = 65534;

// Whether this process can make such links.
inline bool canGiveLinksAway() { return ::geteuid() == 0; }

// Makes `link` lead to `target` and gives it to kOtherUser; false when that failed.
inline bool makeOtherUsersLink(const std::filesystem::path& target,
                               const std::filesystem::path& link) {
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  return !error && ::lchown(link.c_str(), kOtherUser, kOtherUser) == 0;
}

// Runs `write`, a writer of `file`, with `file` made the user's link to a link another user
// planted in a shared folder, which leads to a file of the user's that holds a Tavrin entry. The
// writer refuses, naming the planted link and its owner, and leaves every file and link as they
// were. Gives what it logged.
inline std::string expectNoWriteThroughAPlantedLink(const std::filesystem::path& file,
                                                    const std::function<bool()>& write) {
  const auto planted = home() / "shared" / "settings.json";
  const auto victim = home() / "victim.json";
  const std::string victimText = R"({"mcpServers":{"tavrin":{"command":"x"}}})";
  std::filesystem::remove_all(planted.parent_path());
  std::filesystem::remove(file);
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::create_directories(planted.parent_path());
  writeFile(victim, victimText);
  std::filesystem::create_symlink(planted, file);
  EXPECT_TRUE(makeOtherUsersLink(victim, planted));
  CapturedStderr captured;
  EXPECT_FALSE(write());
  const std::string log = captured.text();
  EXPECT_NE(log.find(planted.string() + ": a link owned by nobody (uid 65534), not by this user " +
                     "or root; not followed"),
            std::string::npos)
      << log;
  EXPECT_EQ(readFile(victim), victimText);
  EXPECT_TRUE(std::filesystem::is_symlink(file) && std::filesystem::is_symlink(planted));
  return log;
}

}  // namespace tvrn::test
