// A folder held open by its descriptor, so that the folder a writer judged is the folder it writes
// into even when a link on the way there is swapped meanwhile. Entries inside are named by their
// last component alone, and a link in that last step is never followed.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "platform/RegularFile.h"

namespace tvrn {

class OpenFolder {
 public:
  // The folder the path leads to, links on the way followed; else the errno of the failure.
  static Result<OpenFolder, int> open(const std::filesystem::path& dir);
  // The folder of a path without links (as a walk leaves it, Reached::folderPath), each folder
  // on the way entered without following a link, so that one swapped in meanwhile fails the
  // open (ELOOP or ENOTDIR) instead of leading elsewhere. The folders that are missing are made,
  // each inside the one before it (with the modes mkdir -p gives); nothing is made unless
  // `mayMakeIn` accepts the deepest folder that exists, EPERM when it refuses.
  static Result<OpenFolder, int> make(const std::filesystem::path& dir,
                                      const std::function<bool(const OpenFolder&)>& mayMakeIn);

  // Whether a link in the last place of a path leads on, or is the entry named (to move or
  // remove the link itself).
  enum class LastLink { follow, keep };

  struct Reached;
  // The path walked as FileStore::throughLinks walks it (a link is followed only when it belongs
  // to the user or to root; a name that cannot be looked at ends the walk), then the folder it
  // reached opened and found to be that folder still, so that a link put on the way meanwhile
  // leads nowhere else. The refusal names the link and its owner, or the path that changed.
  // Entries are then named by `name` alone, so a link put in the last place is never followed.
  static Result<Reached, std::string> reach(const std::filesystem::path& path,
                                            LastLink last = LastLink::follow);

  OpenFolder(OpenFolder&& other) noexcept;
  OpenFolder& operator=(OpenFolder&& other) noexcept;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  ~OpenFolder();

  int fd() const { return fd_; }
  // Where the folder is now, as the system keeps it; empty when the system will not say.
  std::string realPath() const;

  // Whether something (a link included) has that name here.
  bool holds(const std::string& name) const;
  // The permission bits of the entry, a link not followed; nothing when there is none.
  std::optional<mode_t> modeOf(const std::string& name) const;
  // The entry opened for reading as RegularFile does; a link in its place is refused.
  Result<RegularFile, std::string> openFile(const std::string& name) const;
  // The folder with that name here, entered without following a link: ELOOP when a link has the
  // name, ENOTDIR when something else that is no folder has it.
  Result<OpenFolder, int> enter(const std::string& name) const;
  // The names the folder holds, in its own order, without "." and ".."; else the errno.
  Result<std::vector<std::string>, int> names() const;

  // Puts the bytes under the name with exactly `mode`: written to a new file beside it, flushed
  // and renamed over whatever has the name now (a link there is replaced, not followed). On
  // failure the entry is as it was; the result is 0 or the errno.
  [[nodiscard]] int writeFile(const std::string& name, std::string_view bytes, mode_t mode) const;
  // Moves the entry into `to` under `newName`, failing (EEXIST) rather than replacing anything
  // there; 0 or the errno.
  [[nodiscard]] int moveEntry(const std::string& name, const OpenFolder& to,
                              const std::string& newName) const;
  // Removes the entry, a folder with all it holds; links are removed, never followed. 0 or the
  // errno of the first failure.
  [[nodiscard]] int removeAll(const std::string& name) const;

 private:
  explicit OpenFolder(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// What a path a caller named reaches: the folder that holds it, open, and its name there.
struct OpenFolder::Reached {
  std::optional<OpenFolder> folder;  // absent when the folder cannot be opened
  int folderError = 0;               // then the errno of why not
  std::string name;                  // "." for the root folder
  std::filesystem::path folderPath;  // the folder's path as the walk left it, without links
};

}  // namespace tvrn
