#include "platform/OwnFolder.h"

#include <acl/libacl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>

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

std::string groupName(gid_t gid) {
  if (const group* entry = ::getgrgid(gid); entry != nullptr) return entry->gr_name;
  return std::to_string(gid);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Someone who may write through the group: anyone but `self` and root (who may write anyway)
// named in the group file, or holding the group as primary group, which the group file does not
// list (useradd -g). A password database that cannot be read to its end counts as such a user.
bool othersInGroup(gid_t gid, uid_t self) {
  const auto another = [self](uid_t uid) { return uid != self && uid != 0; };
  if (const group* entry = ::getgrgid(gid); entry != nullptr) {
    for (char** member = entry->gr_mem; *member != nullptr; ++member) {
      const passwd* user = ::getpwnam(*member);
      if (user == nullptr || another(user->pw_uid)) return true;
    }
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  bool other = false;
  ::setpwent();
  int error = 0;
  while ((error = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found)) == 0) {
    if (found->pw_gid == gid && another(found->pw_uid)) {
      other = true;
      break;
    }
  }
  ::endpwent();
  return other || (error != 0 && error != ENOENT);
}

// Who, beyond the file's mode bits, its access list lets write: "user nobody", "group staff";
// empty when the mode bits tell it all (the owning group, when another user belongs to it);
// nothing when no one else may write.
std::optional<std::string> writerInList(acl_t list, const struct stat& info, uid_t self) {
  // The mask bounds what named entries and the owning group may do.
  bool maskWrites = true;
  acl_entry_t entry = nullptr;
  for (int at = ACL_FIRST_ENTRY; ::acl_get_entry(list, at, &entry) == 1; at = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    acl_permset_t permissions = nullptr;
    if (::acl_get_tag_type(entry, &tag) == 0 && tag == ACL_MASK &&
        ::acl_get_permset(entry, &permissions) == 0) {
      maskWrites = ::acl_get_perm(permissions, ACL_WRITE) == 1;
    }
  }
  for (int at = ACL_FIRST_ENTRY; ::acl_get_entry(list, at, &entry) == 1; at = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    acl_permset_t permissions = nullptr;
    if (::acl_get_tag_type(entry, &tag) != 0 || ::acl_get_permset(entry, &permissions) != 0 ||
        ::acl_get_perm(permissions, ACL_WRITE) != 1) {
      continue;
    }
    if (tag == ACL_OTHER) return "";
    if (!maskWrites) continue;
    if (tag == ACL_GROUP_OBJ && othersInGroup(info.st_gid, self)) return "";
    if (tag != ACL_USER && tag != ACL_GROUP) continue;
    void* qualifier = ::acl_get_qualifier(entry);
    if (qualifier == nullptr) return "an entry that cannot be read";
    std::optional<std::string> writer;
    if (tag == ACL_USER) {
      const uid_t uid = *static_cast<uid_t*>(qualifier);
      if (uid != self && uid != 0) writer = "user " + userName(uid);
    } else if (const gid_t gid = *static_cast<gid_t*>(qualifier); othersInGroup(gid, self)) {
      writer = "group " + groupName(gid);
    }
    ::acl_free(qualifier);
    if (writer) return writer;
  }
  return std::nullopt;
}

// Why another user may write at `at` ("mode 0777", "mode 0775, its access list lets user nobody
// write"); nothing when no one else may.
std::optional<std::string> openTo(const std::filesystem::path& at, const struct stat& info,
                                  uid_t self) {
  const std::string mode = "mode " + octal(info.st_mode);
  if ((info.st_mode & S_IWOTH) != 0) return mode;
  acl_t list = ::acl_get_file(at.c_str(), ACL_TYPE_ACCESS);
  if (list == nullptr) {
    if (errno != ENOTSUP && errno != ENOSYS) {
      return mode + ", its access list cannot be read (" + reasonOf(errno) + ")";
    }
    // A file system without access lists: the mode bits tell it all.
    if ((info.st_mode & S_IWGRP) != 0 && othersInGroup(info.st_gid, self)) return mode;
    return std::nullopt;
  }
  const auto writer = writerInList(list, info, self);
  ::acl_free(list);
  if (!writer) return std::nullopt;
  return writer->empty() ? mode : mode + ", its access list lets " + *writer + " write";
}

// What the user can do about a folder in the way that is not the user's to mend: the home, the
// folder `variable` names, or one above them, is left to those who share it, and the variable set
// to a folder of the user's own; another in the home is moved aside (a start makes its own in its
// place).
std::string moveAsideOrChoose(const std::filesystem::path& real, const std::string& home,
                              std::string_view variable) {
  const std::string name(variable);
  const char* value = std::getenv(name.c_str());
  const std::string named = value != nullptr && *value == '/' ? PathResolver::resolve(value) : home;
  for (const auto& [choose, folder] : {std::pair{std::string("HOME"), home}, {name, named}}) {
    if (PathResolver::isWithin(folder, real.native())) {
      return "set " + choose + " to a folder of your own";
    }
  }
  if (PathResolver::isWithin(real.native(), home)) return "move it aside";
  return "set " + name + " to a folder of your own";
}

std::string resolvedHome() { return PathResolver::resolve(Paths::home().native()); }

// The folders above `folder` whose owners decide what it is, each judged. A missing one ends the
// way, as what the start makes there is the user's own. The last folder of the way that is there
// (nothing when none is), where what is missing would be made.
Result<std::filesystem::path, std::string> checkWayTo(const std::filesystem::path& folder,
                                                      std::string_view variable) {
  const std::string home = resolvedHome();
  const std::filesystem::path real = PathResolver::resolve(folder.native());
  const bool inHome = real != home && PathResolver::isWithin(real.native(), home);
  std::vector<std::filesystem::path> way = {inHome ? std::filesystem::path(home)
                                                   : real.root_path()};
  for (const auto& name : real.lexically_relative(way.front())) way.push_back(way.back() / name);
  way.pop_back();  // the folder itself, which judge() looks at
  const uid_t self = ::geteuid();
  std::filesystem::path last;
  for (const std::filesystem::path& step : way) {
    struct stat info {};
    if (::lstat(step.c_str(), &info) != 0) return last;
    if (!S_ISDIR(info.st_mode)) {
      return fail("the folder " + folder.string() + " cannot be made (" + reasonOf(ENOTDIR) + ")");
    }
    const std::string named = "the folder " + step.string() + ", on the way to " + folder.string();
    if (info.st_uid != self && info.st_uid != 0) {
      return fail(named + ", belongs to another user (" + userName(info.st_uid) +
                  "), who could put folders of its own in place of what lies in it: " +
                  moveAsideOrChoose(step, home, variable) + ", then start again");
    }
    const auto open = openTo(step, info, self);
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    // Outside the home a folder open to all with its sticky bit (/tmp) keeps what is ours ours.
    if (open && (inHome || !sticky)) {
      // A shared folder stays open to those who share it; the user's own can be closed.
      const std::string remedy = info.st_uid == self && !sticky
                                     ? "close it (chmod go-w " + quoted(step) + ")"
                                     : moveAsideOrChoose(step, home, variable);
      return fail(named + ", is open to writing by other users (" + *open +
                  "), who could put folders of their own in place of what lies in it: " + remedy +
                  ", then start again");
    }
    last = step;
  }
  return last;
}

// One entry of an own folder, a folder or a file, judged as judgeInside() says.
Result<void, std::string> judgeEntry(const std::filesystem::path& entry,
                                     std::string_view variable) {
  struct stat info {};
  if (::lstat(entry.c_str(), &info) != 0) return {};  // what is missing is made the user's own
  if (S_ISLNK(info.st_mode)) {
    // Kept elsewhere (a dotfiles folder, say): the way there counts as well.
    if (auto way = checkWayTo(PathResolver::resolve(entry.native()), variable); !way) {
      return fail(way.error());
    }
    if (::stat(entry.c_str(), &info) != 0) return {};
  }
  const bool folder = S_ISDIR(info.st_mode);
  const std::string named = (folder ? "the folder " : "the file ") + entry.string();
  const std::string harm =
      folder ? "put files of its own there" : "change what it holds as it likes";
  const uid_t self = ::geteuid();
  if (info.st_uid != self) {
    return fail(named + " belongs to another user (" + userName(info.st_uid) + "), who could " +
                harm + ": move it aside, then start again");
  }
  if (const auto open = openTo(entry, info, self)) {
    return fail(named + " is open to writing by other users (" + *open +
                "), who could have put files of their own there or changed it: look through it, "
                "close it (chmod go-w " +
                quoted(entry) + "), then start again");
  }
  return {};
}

}  // namespace

Result<void, std::string> judge(const std::filesystem::path& folder, std::string_view variable) {
  const std::string named = "the folder " + folder.string();
  const auto way = checkWayTo(folder, variable);
  if (!way) return fail(way.error());
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT) return fail(named + " cannot be read (" + reasonOf(errno) + ")");
    // Made later, with any missing parents, from the last folder on the way that is there.
    if (!way.value().empty() && ::access(way.value().c_str(), W_OK | X_OK) != 0) {
      return fail(named + " cannot be made (" + reasonOf(errno) + ")");
    }
    return {};
  }
  if (!S_ISDIR(info.st_mode)) {
    return fail(folder.string() + " is not a folder: move it aside, then start again");
  }
  if (info.st_uid != ::geteuid()) {
    const std::filesystem::path real = PathResolver::resolve(folder.native());
    return fail(named + " belongs to another user (" + userName(info.st_uid) +
                "), who could put files of its own there: " +
                moveAsideOrChoose(real, resolvedHome(), variable) + ", then start again");
  }
  return {};
}

Result<void, std::string> ensure(const std::filesystem::path& folder, std::string_view variable) {
  if (auto judged = judge(folder, variable); !judged) return judged;
  const std::string named = "the folder " + folder.string();
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    // A parent that cannot be made makes the mkdir below fail, which names the reason.
    if (folder.has_parent_path())
      static_cast<void>(FileStore::ensureDirectory(folder.parent_path()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return fail(named + " cannot be made (" + reasonOf(errno) + ")");
    }
    if (::stat(folder.c_str(), &info) != 0) {
      return fail(named + " cannot be read (" + reasonOf(errno) + ")");
    }
    // Another user may have made a folder on the way first, where others may add names.
    if (auto judged = judge(folder, variable); !judged) return judged;
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

Result<void, std::string> judgeInside(const std::vector<std::filesystem::path>& entries,
                                      const std::vector<std::filesystem::path>& listed,
                                      std::string_view variable) {
  for (const auto& entry : entries) {
    if (auto judged = judgeEntry(entry, variable); !judged) return judged;
  }
  for (const auto& folder : listed) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
      if (auto judged = judgeEntry(entry->path(), variable); !judged) return judged;
    }
  }
  return {};
}

}  // namespace tvrn::OwnFolder
