// The folders the system keeps its settings, log and socket in must be the user's alone, as
// ssh-agent and gpg-agent ask of theirs: another user who owns one, or may write in it, could put
// a socket or a settings file of its own there and be served the user's data.
#pragma once

#include <filesystem>
#include <string>

#include "base/Result.h"

namespace tvrn::OwnFolder {

// Makes `folder` (0700, with missing parents) when it is not there; then it must be a folder (a
// link to one counts), owned by the user running the process, and closed to others: one left open
// (by an earlier install, say) is closed to 0700. The folders on the way to it must hold too, as
// whoever may rename an entry of one could put a folder of its own in its place: from the home
// folder down when it lies in the home (the home included), each must belong to the user or root
// and be closed to writing by others; where it lies outside the home (an XDG_CONFIG_HOME
// elsewhere), from the file system's root down, where a folder open to all is allowed only with
// its sticky bit set (/tmp), which keeps others from renaming what is not theirs. Links on the
// way are followed and the folders they lead to are judged. Otherwise why not, naming the folder
// and what the user can do about it; nothing is removed or changed then.
Result<void, std::string> ensure(const std::filesystem::path& folder);

}  // namespace tvrn::OwnFolder
