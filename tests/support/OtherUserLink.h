// A symbolic link that belongs to another user, as one planted in a shared folder would. Only root
// can give a link away, so tests that need one skip elsewhere.
#pragma once

#include <unistd.h>

#include <filesystem>

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

}  // namespace tvrn::test
