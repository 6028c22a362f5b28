#include "platform/OwnFolder.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/FileStore.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"

namespace tvrn::OwnFolder {
namespace {

std::string reasonOf(int error) { return std::system_category().message(error); }

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string userName(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid); entry != nullptr) return entry->pw_name;
  return std::to_string(uid);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A group of the user alone, as most systems give each user a group of its own name: its write
// bit lets no one else in. Any other group's members could write.
bool groupOfUserAlone(gid_t gid, uid_t self) {
  const passwd* user = ::getpwuid(self);
  if (user == nullptr || user->pw_gid != gid) return false;
  const std::string name = user->pw_name;
  const group* entry = ::getgrgid(gid);
  if (entry == nullptr || entry->gr_name != name) return false;
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (*member != name) return false;
  }
  return true;
}

bool openToOthers(const struct stat& info, uid_t self) {
  return (info.st_mode & S_IWOTH) != 0 ||
         ((info.st_mode & S_IWGRP) != 0 && !groupOfUserAlone(info.st_gid, self));
}

// The folders above `folder` whose owners decide what it is, each judged; a missing one ends the
// way, as what the start makes there is the user's own.
Result<void, std::string> checkWayTo(const std::filesystem::path& folder) {
  const std::string home = PathResolver::resolve(Paths::home().native());
  const std::filesystem::path real = PathResolver::resolve(folder.native());
  const bool inHome = real != home && PathResolver::isWithin(real.native(), home);
  std::vector<std::filesystem::path> way = {inHome ? std::filesystem::path(home)
                                                   : real.root_path()};
  for (const auto& name : real.lexically_relative(way.front())) way.push_back(way.back() / name);
  way.pop_back();  // the folder itself, which ensure() judges
  const uid_t self = ::geteuid();
  for (const std::filesystem::path& step : way) {
    struct stat info {};
    if (::lstat(step.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return {};
    const std::string named = "the folder " + step.string() + ", on the way to " + folder.string();
    if (info.st_uid != self && info.st_uid != 0) {
      return fail(named + ", belongs to another user (" + userName(info.st_uid) +
                  "), who could put folders of its own in place of what lies in it: have it "
                  "given to " +
                  userName(self) + " (sudo chown " + userName(self) + " " + quoted(step) +
                  "), then start again");
    }
    // Outside the home a folder open to all with its sticky bit (/tmp) keeps what is ours ours.
    if (openToOthers(info, self) && (inHome || (info.st_mode & S_ISVTX) == 0)) {
      return fail(named + ", is open to writing by other users (mode " + octal(info.st_mode) +
                  "), who could put folders of their own in place of what lies in it: close it "
                  "(chmod go-w " +
                  quoted(step) + "), then start again");
    }
  }
  return {};
}

}  // namespace

Result<void, std::string> ensure(const std::filesystem::path& folder) {
  const std::string named = "the folder " + folder.string();
  if (auto way = checkWayTo(folder); !way) return way;
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    // A parent that cannot be made makes the mkdir below fail, which names the reason.
    if (folder.has_parent_path()) static_cast<void>(FileStore::ensureDirectory(folder.parent_path()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return fail(named + " cannot be made (" + reasonOf(errno) + ")");
    }
    if (::stat(folder.c_str(), &info) != 0) {
      return fail(named + " cannot be read (" + reasonOf(errno) + ")");
    }
    // Another user may have made a folder on the way first, where others may add names.
    if (auto way = checkWayTo(folder); !way) return way;
  }
  if (!S_ISDIR(info.st_mode)) {
    return fail(folder.string() + " is not a folder: move it aside, then start again");
  }
  const uid_t self = ::geteuid();
  if (info.st_uid != self) {
    return fail(named + " belongs to another user (" + userName(info.st_uid) +
                "), who could put files of its own there: move it aside or have it given to " +
                userName(self) + " (sudo chown -R " + userName(self) + " " + quoted(folder) +
                "), then start again");
  }
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    return fail(named + " is open to other users (mode " + octal(info.st_mode) +
                ") and cannot be closed (" + reasonOf(errno) + "): close it (chmod 700 " +
                quoted(folder) + "), then start again");
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return fail(named + " cannot be written (" + reasonOf(errno) + ")");
  }
  return {};
}

}  // namespace tvrn::OwnFolder
