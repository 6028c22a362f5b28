#include "platform/OwnFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/FileStore.h"

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

}  // namespace

Result<void, std::string> ensure(const std::filesystem::path& folder) {
  const std::string named = "the folder " + folder.string();
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
