// onedrive_write_file, onedrive_move_file and onedrive_delete_file: changes confined to the
// OneDrive folders and their scopes, each confirmed before it is made.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "base/Utf8.h"
#include "bridges/TCCMessages.h"
#include "core/ToolResponse.h"
#include "platform/FileStore.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/common/SystemToolsTexts.h"
#include "tools/files/FinderTools.h"

namespace tvrn::SystemTools {
namespace {

namespace fs = std::filesystem;
namespace Texts = SystemTexts;

constexpr mode_t kNewFileMode = 0644;

enum class LastLink { follow, keep };

ToolError outside(const std::string& path) {
  return ToolError::executionFailed(std::string(Texts::kOutsideOneDriveStart) + path +
                                    std::string(Texts::kOutsideOneDriveEnd));
}

// Where the entry the path names really is: its folder resolved, its own name kept, so a move
// or delete acts on a link itself rather than on what it points to.
std::string entryLocation(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::string name = LocalFiles::lastComponent(trimmed);
  const std::size_t slash = trimmed.rfind('/');
  if (name.empty() || name == "." || name == ".." || slash == std::string::npos) {
    return PathResolver::resolve(trimmed);
  }
  const std::string folder = PathResolver::resolve(slash == 0 ? "/" : trimmed.substr(0, slash));
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// The real location of an absolute path strictly inside one of the OneDrive folders (the cloud
// storage folder that holds them is none), within the folder's scope; else the refusal.
Result<std::string, ToolError> confined(const std::string& path, LastLink last) {
  if (!path.starts_with('/')) return fail(outside(path));
  if (auto refusal = LocalFiles::ownFolderRefusal(path)) return fail(*refusal);
  const std::string real =
      last == LastLink::follow ? PathResolver::resolve(path) : entryLocation(path);
  const std::string cloudStorage = Paths::underHome("Library/CloudStorage").string();
  bool inside = false;
  for (const OnedriveMount& mount : discoverOnedriveRoots()) {
    if (mount.path == cloudStorage) continue;
    const std::string root = PathResolver::resolve(mount.path);
    if (real != root && PathResolver::isWithin(real, root)) inside = true;
  }
  if (!inside) return fail(outside(path));
  const OnedrivePathCheck scope = isOnedrivePathAllowed(real);
  if (!scope.allowed) return fail(ToolError::executionFailed(scope.reason));
  return real;
}

bool isPermissionError(int error) { return error == EACCES || error == EPERM; }

bool existsAt(const std::string& location) {
  std::error_code error;
  return fs::exists(fs::symlink_status(location, error));
}

ToolError writeFailure(int error, const std::string& description) {
  if (isPermissionError(error)) {
    return ToolError::executionFailed(TCCMessages::fullDiskAccessRequired(Texts::kOneDriveFolder));
  }
  return ToolError::executionFailed("Cannot write file: " + description);
}

ToolResult writeConfirmed(const std::string& path, const std::string& target,
                          const std::string& content) {
  std::error_code error;
  fs::create_directories(fs::path(target).parent_path(), error);
  if (error) return fail(writeFailure(error.value(), error.message()));
  // A file written anew keeps the mode the user gave it.
  struct stat info {};
  const mode_t mode = ::stat(target.c_str(), &info) == 0 ? (info.st_mode & 07777) : kNewFileMode;
  std::string why;
  if (!FileStore::writeAtomic(target, content, mode, &why)) {
    const int code = errno;
    return fail(writeFailure(code, why + ": " + std::strerror(code)));
  }
  return ToolResponse::json(
      JSONValue::Object{{"written", true}, {"path", path}, {"bytes", content.size()}});
}

// A rename that fails rather than replace what is at the destination.
int moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: the check and the rename are as close as can be.
  if (existsAt(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

ToolResult onedriveWriteFile(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "path", "content", arguments,
      [&](const std::string& path, const std::string& content) -> ToolResult {
        auto target = confined(path, LastLink::follow);
        if (!target) return fail(target.error());
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text("Preview — write " +
                                    std::to_string(Utf8::characterCount(content)) + " chars to '" +
                                    path + std::string(Texts::kCallAgain));
        }
        return writeConfirmed(path, target.value(), content);
      });
}

ToolResult onedriveMoveFile(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "source", "destination", arguments,
      [&](const std::string& source, const std::string& destination) -> ToolResult {
        auto from = confined(source, LastLink::keep);
        if (!from) return fail(from.error());
        auto to = confined(destination, LastLink::keep);
        if (!to) return fail(to.error());
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text("Preview — move '" + source + "' → '" + destination +
                                    std::string(Texts::kCallAgain));
        }
        if (!existsAt(from.value())) return fail(ToolError::resourceNotFound(source));
        std::error_code error;
        fs::create_directories(fs::path(to.value()).parent_path(), error);
        if (error) return fail(ToolError::executionFailed("Cannot move: " + error.message()));
        if (const int failed = moveWithoutReplacing(from.value(), to.value()); failed != 0) {
          return fail(
              ToolError::executionFailed("Cannot move: " + std::string(std::strerror(failed))));
        }
        return ToolResponse::json(
            JSONValue::Object{{"moved", true}, {"from", source}, {"to", destination}});
      });
}

ToolResult onedriveDeleteFile(const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) -> ToolResult {
    auto location = confined(path, LastLink::keep);
    if (!location) return fail(location.error());
    if (!Params::optionalBool("confirm", arguments, false)) {
      return ToolResponse::text("Preview — permanently delete '" + path +
                                std::string(Texts::kCallAgain));
    }
    if (!existsAt(location.value())) return fail(ToolError::resourceNotFound(path));
    // Links inside the tree are removed, never followed, so nothing outside it goes.
    std::error_code error;
    fs::remove_all(location.value(), error);
    if (error) return fail(ToolError::executionFailed("Cannot delete: " + error.message()));
    return ToolResponse::json(JSONValue::Object{{"deleted", true}, {"path", path}});
  });
}

}  // namespace tvrn::SystemTools
