// The folders the system keeps its settings, log and socket in must be the user's alone, as
// ssh-agent and gpg-agent ask of theirs: another user who owns one, or may write in it, could put
// a socket or a settings file of its own there and be served the user's data.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

namespace tvrn::OwnFolder {

// Whether `folder` could be one of the system's own, changing nothing: when there it must be a
// folder (a link to one counts) owned by the user running the process; when not, the folder it
// would be made in must let the user make it. The folders on the way to it must hold too, as
// whoever may rename an entry of one could put a folder of its own in its place: from the home
// folder down when it lies in the home (the home included), each must belong to the user or root
// and be closed to writing by others; where it lies outside the home (an XDG_CONFIG_HOME
// elsewhere), from the file system's root down, where a folder open to all is allowed only with
// its sticky bit set (/tmp), which keeps others from renaming what is not theirs. Closed to
// writing by others means: no write bit for others; a group write bit only for the user's own
// private group (named as the user, the user's primary group, no one else named a member, and no
// other account's primary group, the password database read to its end); no
// access list entry that lets another user, or a group other than that one, write, as far as the
// list's mask lets it. Links on the way are followed and the folders they lead to are judged. A
// folder found open to others, who could have put anything there, is judged in full, as
// judgeInside() judges an entry: every entry in it and below it must be the user's (or root's)
// and closed to writing by others, and a link there the user's or root's. Otherwise why not,
// naming the folder, or the entry, and
// what the user can do about it: only steps that harm nobody (closing a folder of the user's own,
// moving aside one in the home, or setting `variable`, the environment variable the folder is
// named from, or HOME, to a folder of the user's own), never closing a shared folder or taking
// over another user's.
Result<void, std::string> judge(const std::filesystem::path& folder, std::string_view variable);

// judge(), then makes `folder` (0700, with missing parents) when it is not there, or closes it to
// 0700 when it is open to others (left so by an earlier install, say). A folder that fails
// judge() is neither made nor changed.
Result<void, std::string> ensure(const std::filesystem::path& folder, std::string_view variable);

// What the system reads and writes inside one of its own folders: each of `entries` that is
// there, and everything directly in those of `listed` that are there, must belong to the user and
// be closed to writing by others (as judge() says of the folders on the way); an entry that is a
// link must be the user's or root's, and leads to a place whose way is judged too. Otherwise why
// not, naming it. Changes nothing.
Result<void, std::string> judgeInside(const std::vector<std::filesystem::path>& entries,
                                      const std::vector<std::filesystem::path>& listed,
                                      std::string_view variable);

// An account as the password database holds it: who it is, and its primary group.
struct Account {
  uid_t uid;
  gid_t group;
};

// The user databases as the group rule reads them: the names the group database lists as
// members of a group, and every account of the password database, read to its end (nothing when
// it cannot be). The system's own unless a test puts others in place, to stand in a directory
// service or a database that fails half way; an empty function puts the system's own back.
struct UserDatabase {
  std::function<std::vector<std::string>(gid_t gid)> members;
  std::function<std::optional<std::vector<Account>>()> accounts;
};
void useUserDatabase(UserDatabase database);

// A program the system runs from its folders, or from beside itself, runs only when no other user
// could have put it there or could put another in its place: every folder a name of its path is
// looked up in (those links lead through included; not those above the home, which judge() takes
// to be the system's) belongs to the user or root and is closed to writing by others (one open to
// all with its sticky bit, as /tmp, counts as closed: no one else may rename what is not theirs in
// it), every link on the way is the user's or root's, and the
// program is a file of the user's or root's closed to writing by others. The program held open
// (O_PATH, close-on-exec), to be run through that very descriptor, so a file put in its place
// since runs nothing. Otherwise why not: "<program> is not run: " and what another user could
// change, or the system's reason when it cannot be opened.
Result<int, std::string> openProgram(const std::filesystem::path& program);

// Whether programs may be put into `folder` to be run from there: the folder itself, when it is
// there, and the folders on the way to it pass as openProgram() judges the way to a program.
Result<void, std::string> judgeProgramFolder(const std::filesystem::path& folder);

}  // namespace tvrn::OwnFolder
