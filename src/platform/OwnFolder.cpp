#include "platform/OwnFolder.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/FileStore.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"

namespace tvrn::OwnFolder {
namespace {

std::string reasonOf(int error) { return std::system_category().message(error); }

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// A user database or group database entry, asked for with a buffer of its own, so that threads
// starting programs at once do not share one; nothing when there is none (or it cannot be read).
template <class Entry, class Key, class Lookup>
std::optional<Entry> entryOf(Key key, Lookup lookup, std::vector<char>& buffer) {
  Entry entry{};
  Entry* found = nullptr;
  for (buffer.resize(16384); buffer.size() <= (1u << 24); buffer.resize(buffer.size() * 2)) {
    const int error = lookup(key, &entry, buffer.data(), buffer.size(), &found);
    if (error != ERANGE)
      return error == 0 && found != nullptr ? std::optional(entry) : std::nullopt;
  }
  return std::nullopt;
}

struct User {
  std::string name;
  uid_t uid;
  gid_t group;
};
std::optional<User> userOf(uid_t uid) {
  std::vector<char> buffer;
  const auto entry = entryOf<passwd>(uid, ::getpwuid_r, buffer);
  if (!entry) return std::nullopt;
  return User{entry->pw_name, entry->pw_uid, entry->pw_gid};
}
std::optional<User> userNamed(const std::string& name) {
  std::vector<char> buffer;
  const auto entry = entryOf<passwd>(name.c_str(), ::getpwnam_r, buffer);
  if (!entry) return std::nullopt;
  return User{entry->pw_name, entry->pw_uid, entry->pw_gid};
}

struct Group {
  std::string name;
  std::vector<std::string> members;  // as the group database lists them
};
std::optional<Group> groupOf(gid_t gid) {
  std::vector<char> buffer;
  const auto entry = entryOf<group>(gid, ::getgrgid_r, buffer);
  if (!entry) return std::nullopt;
  Group found{entry->gr_name, {}};
  for (char** member = entry->gr_mem; *member != nullptr; ++member)
    found.members.push_back(*member);
  return found;
}

std::string userName(uid_t uid) {
  const auto user = userOf(uid);
  return user ? user->name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
  const auto found = groupOf(gid);
  return found ? found->name : std::to_string(gid);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::mutex databaseGuard;  // guards databaseSource()
UserDatabase& databaseSource() {
  static UserDatabase source;
  return source;
}

// Every account of the password database, read to its end; nothing when it cannot be. The
// database is read through one cursor for the whole process, so one reader at a time.
std::optional<std::vector<Account>> passwordDatabase() {
  static std::mutex cursorGuard;
  std::lock_guard hold(cursorGuard);
  std::vector<Account> accounts;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  ::setpwent();
  while (true) {
    error = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found);
    // A long entry is read again into a larger buffer; the cursor stays on it.
    if (error == ERANGE && buffer.size() < (1u << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) break;
    accounts.push_back({found->pw_uid, found->pw_gid});
  }
  ::endpwent();
  if (error != 0 && error != ENOENT) return std::nullopt;
  return accounts;
}

// Someone besides `self` and root (who may write anyway) may write through the group, unless it is
// the user's own private group: named as the user, the user's primary group, no one else named a
// member, and no other account's primary group (`useradd -g` gives one a group without naming it
// a member). Any other group counts as open whoever the group database lists: where users come
// from a directory service too, a member it alone knows is in no list this process can read to
// its end. So does a password database that cannot be read to its end.
bool othersInGroup(gid_t gid, uid_t self) {
  const auto user = userOf(self);
  const auto found = groupOf(gid);
  if (!user || user->group != gid || !found || found->name != user->name) return true;
  UserDatabase source;
  {
    std::lock_guard hold(databaseGuard);
    source = databaseSource();
  }
  const auto another = [self](uid_t uid) { return uid != self && uid != 0; };
  for (const std::string& member : source.members ? source.members(gid) : found->members) {
    const auto named = userNamed(member);
    if (!named || another(named->uid)) return true;
  }
  const auto accounts = source.accounts ? source.accounts() : passwordDatabase();
  if (!accounts) return true;
  return std::any_of(accounts->begin(), accounts->end(), [&](const Account& account) {
    return account.group == gid && another(account.uid);
  });
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

// Where an entry lies: named by the system, so a link in its place is followed (to a dotfiles
// folder, say), or found among others in a folder of its own found open, where only what is there
// counts, root's own included, and a link is not followed.
enum class Found { named, within };

// One entry of an own folder, a folder or a file, judged as judgeInside() says.
Result<void, std::string> judgeEntry(const std::filesystem::path& entry, std::string_view variable,
                                     Found found = Found::named) {
  struct stat info {};
  if (::lstat(entry.c_str(), &info) != 0) return {};  // what is missing is made the user's own
  const uid_t self = ::geteuid();
  if (S_ISLNK(info.st_mode)) {
    if (!FileStore::trusted(info.st_uid)) {
      return fail("the link " + entry.string() + " belongs to another user (" +
                  userName(info.st_uid) +
                  "), who could lead what is read or written there anywhere: move it aside, then "
                  "start again");
    }
    if (found == Found::within) return {};
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
  if (info.st_uid != self && !(found == Found::within && info.st_uid == 0)) {
    return fail(named + " belongs to another user (" + userName(info.st_uid) + "), who could " +
                harm + ": move it aside, then start again");
  }
  // A socket or a named pipe holds nothing to change; the start replaces a socket of its own.
  if (!folder && !S_ISREG(info.st_mode)) return {};
  if (const auto open = openTo(entry, info, self)) {
    return fail(named + " is open to writing by other users (" + *open +
                "), who could have put files of their own there or changed it: look through it, "
                "close it (chmod go-w " +
                quoted(entry) + "), then start again");
  }
  return {};
}

// Everything in and below `folder`, a folder of the user's own found open to others, who could
// have put anything there meanwhile: each entry judged as found within it, the first fault named.
Result<void, std::string> judgeAllWithin(const std::filesystem::path& folder,
                                         std::string_view variable) {
  std::error_code error;
  std::filesystem::path last = folder;
  for (std::filesystem::recursive_directory_iterator entry(folder, error), end;
       !error && entry != end; entry.increment(error)) {
    last = entry->path();
    if (auto judged = judgeEntry(last, variable, Found::within); !judged) return judged;
  }
  if (!error) return {};
  return fail("the folder " + folder.string() + " is open to other users, and what lies in it (" +
              last.string() + ") cannot be looked through (" + error.message() +
              "): look through it, close it (chmod go-w " + quoted(folder) + "), then start again");
}

// Who may own what a program's way holds: the user and root, and, in a user namespace that leaves
// the system's root out of its map (a sandbox the user made), the owner it shows for everyone
// outside the map, root among them, whom no one inside can tell apart.
bool ownsProgramsWay(uid_t owner) {
  static const std::optional<uid_t> unmapped = []() -> std::optional<uid_t> {
    std::istringstream map(FileStore::read("/proc/self/uid_map").value_or(""));
    for (unsigned long inside, outside, count; map >> inside >> outside >> count;) {
      if (outside == 0 && count > 0) return std::nullopt;
    }
    const auto overflow = FileStore::read("/proc/sys/kernel/overflowuid");
    if (!overflow) return std::nullopt;
    return static_cast<uid_t>(std::strtoul(overflow->c_str(), nullptr, 10));
  }();
  return FileStore::trusted(owner) || owner == unmapped;
}

// Why another user could change what lies in `folder`, one a program's path is looked up in:
// they own it, or may write in it (one open to all with its sticky bit, as /tmp, is closed to
// them: no one else may rename what is not theirs in it). Nothing when no one else could. The
// folders above the home are the system's, as judge() takes them to be.
std::optional<std::string> strangerMayChange(const std::filesystem::path& folder,
                                             const std::filesystem::path& program,
                                             const std::string& home) {
  if (folder != home && PathResolver::isWithin(home, folder.native())) return std::nullopt;
  const std::string named = "the folder " + folder.string() +
                            (folder == program ? "" : ", on the way to " + program.string() + ",");
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    return named + " cannot be read (" + reasonOf(errno) + ")";
  }
  const uid_t self = ::geteuid();
  if (!ownsProgramsWay(info.st_uid)) {
    return named + " belongs to another user (" + userName(info.st_uid) +
           "), who could put programs of its own in place of what lies in it";
  }
  const auto open = openTo(folder, info, self);
  if (!open || (info.st_mode & S_ISVTX) != 0) return std::nullopt;
  return named + " is open to writing by other users (" + *open +
         "), who could put programs of their own in place of what lies in it";
}

// Where `program` lies, links followed, each folder on the way judged as strangerMayChange() says.
Result<std::filesystem::path, std::string> programWay(const std::filesystem::path& program) {
  const std::string home = resolvedHome();
  const auto lookIn = [&](const std::filesystem::path& folder) {
    return strangerMayChange(folder, program, home);
  };
  return FileStore::throughLinks(program, FileStore::Unlooked::refuse, lookIn);
}

}  // namespace

void useUserDatabase(UserDatabase database) {
  std::lock_guard hold(databaseGuard);
  databaseSource() = std::move(database);
}

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
  if (openTo(folder, info, ::geteuid())) return judgeAllWithin(folder, variable);
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

Result<int, std::string> openProgram(const std::filesystem::path& program) {
  const auto real = programWay(program);
  const std::string refused = program.string() + " is not run: ";
  if (!real) return fail(refused + real.error());
  // Held open, so what runs is the file judged here, whatever is put in its place since.
  const int fd = ::open(real.value().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail(reasonOf(errno));
  struct stat info {};
  std::optional<std::string> why;
  if (::fstat(fd, &info) != 0) {
    why = reasonOf(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = reasonOf(EACCES);
  } else if (!ownsProgramsWay(info.st_uid)) {
    why = refused + "it belongs to another user (" + userName(info.st_uid) +
          "), who could change it as they like";
  } else if (const auto open = openTo("/proc/self/fd/" + std::to_string(fd), info, ::geteuid())) {
    why = refused + "it is open to writing by other users (" + *open + "), who could change it";
  }
  if (!why) return fd;
  ::close(fd);
  return fail(std::move(*why));
}

Result<void, std::string> judgeProgramFolder(const std::filesystem::path& folder) {
  const auto real = programWay(folder);
  if (!real) return fail(real.error());
  struct stat info {};
  if (::lstat(real.value().c_str(), &info) != 0) return {};  // made the user's own
  if (auto why = strangerMayChange(real.value(), real.value(), resolvedHome())) {
    return fail(std::move(*why));
  }
  return {};
}

}  // namespace tvrn::OwnFolder
