// Reading and writing the system's own files: folders are made 0700, files are written to a
// temporary file in the same folder, flushed to disk and renamed over the old one (0600 by
// default), so a crash never leaves a half-written file behind.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/Result.h"

namespace tvrn::FileStore {

// Creates the folder and any missing parents with mode 0700. True when it exists afterwards.
[[nodiscard]] bool ensureDirectory(const std::filesystem::path& dir, mode_t mode = 0700);

// Writes bytes atomically; the parent folder is created 0700 when missing. On failure the old
// file is untouched and the reason is put in *error when given. `beforeRename`, when given, is
// asked once the new contents are on disk, just before they replace the file: false leaves the
// file as it is and the write fails.
[[nodiscard]] bool writeAtomic(const std::filesystem::path& file, const std::string& bytes,
                               mode_t mode = 0600, std::string* error = nullptr,
                               const std::function<bool()>& beforeRename = nullptr);

// Where the contents of `file` live: the file itself, or, when links lead elsewhere, the file
// they lead to, whether that exists or not. A file kept in the user's own place (a dotfiles
// folder) is written there, beside its target, so the link stays a link. Every link on the way,
// in the folders above too, is followed as the kernel follows it when it opens the file, up to
// its limit of 40 in one path. A link is followed only when it belongs to the user running the
// process or to root: another user's link could lead a write into any of the user's files. A link
// of another user, a 41st link (the kernel gives up there, as at a loop) or one that cannot be
// read gives why, naming the link; the caller writes nothing then, so no link is ever replaced.
// The same walk serves every path a tool is given, for reading and for writing. A name that
// cannot be looked at (a folder that may not be searched) is refused too, unless `unlooked` is
// `asWritten`: the rest is then taken as written, so the open that follows fails as the system
// says, as past a missing name.
// `lookIn`, when given, is asked about every folder a name is looked up in on the way, the folders
// links lead through included, before the name is: a reason it gives ends the walk with it.
enum class Unlooked { refuse, asWritten };
using LookIn = std::function<std::optional<std::string>(const std::filesystem::path& folder)>;
Result<std::filesystem::path, std::string> throughLinks(const std::filesystem::path& file,
                                                        Unlooked unlooked = Unlooked::refuse,
                                                        const LookIn& lookIn = {});

// Whose links are followed and whose files are the system's own: the user's and root's.
bool trusted(uid_t owner);
// The owner as refusals name it: "nobody (uid 65534)", or the number alone.
std::string ownerName(uid_t owner);

// Why a read gave no contents. A file that is there but could not be read (a folder in its
// place, no descriptor left, an I/O error, no permission) is not `missing`: callers must not
// take it for an absent or empty file and write over it.
struct ReadError {
  bool missing = false;  // nothing is at the path (a dangling link is something)
  bool refused = false;  // not read at all: `reason` names the link or the file and its owner
  std::string reason;    // the system's words, or "not a regular file"
};

// The file's whole contents, or nothing when it cannot be read, with why in *error when given.
// A named pipe or a device in the file's place is not read, never waited on.
std::optional<std::string> read(const std::filesystem::path& file, ReadError* error = nullptr);

// read() of one of the system's own files, read as the writers write it: links on the way are
// followed as throughLinks follows them, what they lead to is opened without following a link
// put in its place since, and a file that belongs to neither this user nor root (another user's
// file given a second name here) is refused, its owner named. A refusal reads nothing.
std::optional<std::string> readOwn(const std::filesystem::path& file, ReadError* error = nullptr);

// Makes sure the file exists with `mode`: its folder is created 0700 and a missing file empty.
// True when the file exists afterwards. Links are followed as throughLinks follows them, and a file
// that belongs to neither this user nor root counts as none.
[[nodiscard]] bool ensureFile(const std::filesystem::path& file, mode_t mode = 0600);

// Adds bytes at the end of the file. A missing file is created with `createMode` when one is
// given; without one the append fails, so a file removed on purpose does not come back. The file is
// opened as ensureFile() opens it: nothing is written through another user's link or into another
// user's file.
[[nodiscard]] bool append(const std::filesystem::path& file, std::string_view bytes,
                          std::optional<mode_t> createMode = std::nullopt);

// Renames a damaged file to "<file>.corrupt-<UTC time>" ("-2", "-3", ... after it when that name
// is taken), so what it held is kept for the user. The new path; on failure nothing, with the
// system's reason in *reason when given.
[[nodiscard]] std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file,
                                                             std::string* reason = nullptr);

}  // namespace tvrn::FileStore
