// A symbolic link that belongs to another user, as one planted in a shared folder would, and what
// another user's program makes (a socket). Only root can give these away, so tests that need one
// skip elsewhere.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/OwnFolder.h"
#include "support/CapturedStderr.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// The account the link is given to: nobody, which owns nothing of the test's.
inline constexpr uid_t kOtherUser = 65534;

// A password database in place of the system's (OwnFolder::useUserDatabase) that holds another
// account, as root may add one with `useradd -g`, whose primary group is the user's own.
inline OwnFolder::UserDatabase anotherAccountInOwnGroup() {
  const gid_t own = ::getpwuid(::geteuid())->pw_gid;
  return {nullptr, [own] { return std::optional(std::vector<OwnFolder::Account>{{4242, own}}); }};
}

// Whether this process can make such links.
inline bool canGiveLinksAway() { return ::geteuid() == 0; }

// Makes `link` lead to `target` and gives it to kOtherUser; false when that failed.
inline bool makeOtherUsersLink(const std::filesystem::path& target,
                               const std::filesystem::path& link) {
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  return !error && ::lchown(link.c_str(), kOtherUser, kOtherUser) == 0;
}

// What `make` gives, made on a thread of its own whose effective user is kOtherUser, so the kernel
// records that user as the maker of a socket made or listened on there; the rest of the process
// stays as it was (the raw calls change the one thread, where the library's would change all).
// Nothing when the thread could not take the other user's place.
template <class Make>
auto madeByOtherUser(Make make) {
  std::optional<decltype(make())> made;
  std::thread([&] {
    if (::syscall(SYS_setresgid, -1, kOtherUser, -1) == 0 &&
        ::syscall(SYS_setresuid, -1, kOtherUser, -1) == 0) {
      made = make();
    }
  }).join();
  return made;
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

// A child of the test running as kOtherUser that swaps two entries of a folder of that user's
// (renameat2 with RENAME_EXCHANGE: a folder and a link, say) over and over, from when this is made
// until stop(). It is handed the folder open, so it needs no way through the user's folders.
class SwappingChild {
 public:
  SwappingChild(const std::filesystem::path& folder, const std::string& first,
                const std::string& second) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int stop[2], count[2];
    if (dir < 0 || ::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(count, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(stop[1]);
      if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) ::_exit(3);
      long swaps = 0;
      pollfd stopped{stop[0], POLLIN, 0};
      // A pause between swaps: a rename holds a lock every path lookup of the machine checks.
      const timespec pause{0, 20000};
      while (::poll(&stopped, 1, 0) == 0) {
        swaps += ::renameat2(dir, first.c_str(), dir, second.c_str(), RENAME_EXCHANGE) == 0;
        ::nanosleep(&pause, nullptr);
      }
      ::_exit(::write(count[1], &swaps, sizeof swaps) == sizeof swaps ? 0 : 4);
    }
    ::close(dir);
    ::close(stop[0]);
    ::close(count[1]);
    stop_ = stop[1];
    count_ = count[0];
  }
  ~SwappingChild() { stop(); }
  SwappingChild(const SwappingChild&) = delete;
  SwappingChild& operator=(const SwappingChild&) = delete;

  // Ends the swapping (the child ends when its pipe closes) and gives how many swaps it made.
  long stop() {
    if (pid_ <= 0) return swaps_;
    ::close(stop_);
    if (::read(count_, &swaps_, sizeof swaps_) != sizeof swaps_) swaps_ = 0;
    ::close(count_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return swaps_;
  }

 private:
  pid_t pid_ = -1;
  int stop_ = -1;
  int count_ = -1;
  long swaps_ = 0;
};

// Gives the folder, and what it holds, to kOtherUser.
inline bool giveAway(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (::lchown(entry.path().c_str(), kOtherUser, kOtherUser) != 0) return false;
  }
  return ::chown(folder.c_str(), kOtherUser, kOtherUser) == 0;
}

}  // namespace tvrn::test
