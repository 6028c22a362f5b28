// onedrive_write_file, onedrive_move_file and onedrive_delete_file: changes confined to the
// OneDrive folders and their scopes, each confirmed before it is made.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "base/Utf8.h"
#include "bridges/TCCMessages.h"
#include "core/ToolResponse.h"
#include "platform/OpenFolder.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/common/SystemToolsTexts.h"
#include "tools/files/FinderTools.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SystemTexts;

using LastLink = OpenFolder::LastLink;

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

// Whether a real location lies inside one of the OneDrive folders (the cloud storage folder that
// holds them is none); strictly inside unless `rootToo`.
bool withinOneDrive(const std::string& real, bool rootToo) {
  const std::string cloudStorage = Paths::underHome("Library/CloudStorage").string();
  for (const OnedriveMount& mount : discoverOnedriveRoots()) {
    if (mount.path == cloudStorage) continue;
    const std::string root = PathResolver::resolve(mount.path);
    if ((rootToo || real != root) && PathResolver::isWithin(real, root)) return true;
  }
  return false;
}

// The refusal of a real location that is not strictly inside a OneDrive folder or lies outside
// the folder's scope.
std::optional<ToolError> outsideScope(const ConfigManager& settings, const std::string& path,
                                      const std::string& real) {
  if (!withinOneDrive(real, false)) return outside(path);
  const OnedrivePathCheck scope = isOnedrivePathAllowed(settings, real);
  if (!scope.allowed) return ToolError::executionFailed(scope.reason);
  return std::nullopt;
}

// The real location of an absolute path strictly inside one of the OneDrive folders, within the
// folder's scope; else the refusal.
Result<std::string, ToolError> confined(const ConfigManager& settings, const std::string& path,
                                        LastLink last) {
  if (!path.starts_with('/')) return fail(outside(path));
  if (auto refusal = LocalFiles::pathRefusal(path)) return fail(*refusal);
  const std::string real =
      last == LastLink::follow ? PathResolver::resolve(path) : entryLocation(path);
  if (auto refusal = outsideScope(settings, path, real)) return fail(*refusal);
  return real;
}

// An entry named in a folder held open: what a change acts on once the path was confined.
struct Entry {
  OpenFolder folder;
  std::string name;
};

enum class Folders { open, make };

// The folder of the path reached (or its missing folders made) and held open, then judged again by
// where it really is, so that a link swapped in since the path was confined cannot carry the
// change elsewhere: one on the way is refused, one in the last place is acted on as a link. A
// folder that cannot be opened gives `failure` of the errno.
Result<Entry, ToolError> openEntry(const ConfigManager& settings, const std::string& path,
                                   LastLink last, Folders folders,
                                   const std::function<ToolError(int)>& failure) {
  auto reached = LocalFiles::reach(path, last);
  if (!reached) return fail(reached.error());
  OpenFolder::Reached& place = reached.value();
  std::optional<ToolError> refusal;
  const auto judged = [&](const OpenFolder& folder) {
    refusal = LocalFiles::ownFolderRefusal(path, folder.fd());
    if (!refusal && !withinOneDrive(folder.realPath(), true)) refusal = outside(path);
    return !refusal;
  };
  if (!place.folder && folders == Folders::make && place.folderError == ENOENT) {
    auto made = OpenFolder::make(place.folderPath, judged);
    if (refusal) return fail(*refusal);
    if (!made) return fail(failure(made.error()));
    place.folder = std::move(made).value();
  }
  if (!place.folder) return fail(failure(place.folderError));
  const OpenFolder& folder = *place.folder;
  if (!judged(folder)) return fail(*refusal);
  if (auto beyond =
          outsideScope(settings, path, LocalFiles::childPath(folder.realPath(), place.name))) {
    return fail(*beyond);
  }
  return Entry{std::move(*place.folder), place.name};
}

bool isPermissionError(int error) { return error == EACCES || error == EPERM; }

bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

ToolError writeFailure(int error, const std::string& description) {
  if (isPermissionError(error)) {
    return ToolError::executionFailed(TCCMessages::fullDiskAccessRequired(Texts::kOneDriveFolder));
  }
  return ToolError::executionFailed("Cannot write file: " + description);
}

ToolResult writeConfirmed(const ConfigManager& settings, const std::string& path,
                          const std::string& content) {
  const auto cannotWrite = [](int code) { return writeFailure(code, std::strerror(code)); };
  auto entry = openEntry(settings, path, LastLink::follow, Folders::make, cannotWrite);
  if (!entry) return fail(entry.error());
  const auto& [folder, name] = entry.value();
  // A file written anew keeps the mode the user gave it.
  const mode_t mode = folder.modeOf(name).value_or(LocalFiles::newDocumentMode());
  if (const int failed = folder.writeFile(name, content, mode); failed != 0) {
    return fail(cannotWrite(failed));
  }
  return ToolResponse::json(
      JSONValue::Object{{"written", true}, {"path", path}, {"bytes", content.size()}});
}

ToolError cannotMove(int error) {
  return ToolError::executionFailed("Cannot move: " + std::string(std::strerror(error)));
}

// What a delete would take: a folder goes with all it holds, so its preview says it is one and
// how many entries it holds at its top level. A link is removed itself, never what it leads to.
std::string deletePreview(const std::string& path) {
  auto reached = LocalFiles::reach(path, LastLink::keep);
  auto folder = reached && reached.value().folder
                    ? reached.value().folder->enter(reached.value().name)
                    : fail(ENOENT);
  if (!folder) return std::string(Texts::kDeletePreview) + path + std::string(Texts::kCallAgain);
  std::string preview =
      std::string(Texts::kDeleteFolderPreview) + path + std::string(Texts::kDeleteFolderContents);
  if (const auto entries = folder.value().names()) {
    const std::size_t count = entries.value().size();
    preview += count == 1 ? std::string(Texts::kDeleteFolderOneEntry)
                          : " (" + std::to_string(count) + std::string(Texts::kDeleteFolderCount);
  }
  return preview + std::string(Texts::kDeleteFolderTail);
}

}  // namespace

ToolResult onedriveWriteFile(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired2(
      "path", "content", arguments,
      [&](const std::string& path, const std::string& content) -> ToolResult {
        auto target = confined(settings, path, LastLink::follow);
        if (!target) return fail(target.error());
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text("Preview — write " +
                                    std::to_string(Utf8::characterCount(content)) + " chars to '" +
                                    path + std::string(Texts::kCallAgain));
        }
        return writeConfirmed(settings, path, content);
      });
}

ToolResult onedriveMoveFile(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired2(
      "source", "destination", arguments,
      [&](const std::string& source, const std::string& destination) -> ToolResult {
        auto from = confined(settings, source, LastLink::keep);
        if (!from) return fail(from.error());
        auto to = confined(settings, destination, LastLink::keep);
        if (!to) return fail(to.error());
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text("Preview — move '" + source + "' → '" + destination +
                                    std::string(Texts::kCallAgain));
        }
        const auto missingOr = [&](int error) {
          return isMissing(error) ? ToolError::resourceNotFound(source) : cannotMove(error);
        };
        auto origin = openEntry(settings, source, LastLink::keep, Folders::open, missingOr);
        if (!origin) return fail(origin.error());
        if (!origin.value().folder.holds(origin.value().name)) {
          return fail(ToolError::resourceNotFound(source));
        }
        auto place = openEntry(settings, destination, LastLink::keep, Folders::make, cannotMove);
        if (!place) return fail(place.error());
        if (const int failed = origin.value().folder.moveEntry(
                origin.value().name, place.value().folder, place.value().name);
            failed != 0) {
          return fail(cannotMove(failed));
        }
        return ToolResponse::json(
            JSONValue::Object{{"moved", true}, {"from", source}, {"to", destination}});
      });
}

ToolResult onedriveDeleteFile(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) -> ToolResult {
    auto location = confined(settings, path, LastLink::keep);
    if (!location) return fail(location.error());
    if (!Params::optionalBool("confirm", arguments, false)) {
      return ToolResponse::text(deletePreview(path));
    }
    const auto cannotDelete = [&](int error) {
      return isMissing(error) ? ToolError::resourceNotFound(path)
                              : ToolError::executionFailed("Cannot delete: " +
                                                           std::string(std::strerror(error)));
    };
    auto entry = openEntry(settings, path, LastLink::keep, Folders::open, cannotDelete);
    if (!entry) return fail(entry.error());
    // Links inside the tree are removed, never followed, so nothing outside it goes.
    if (const int failed = entry.value().folder.removeAll(entry.value().name); failed != 0) {
      return fail(cannotDelete(failed));
    }
    return ToolResponse::json(JSONValue::Object{{"deleted", true}, {"path", path}});
  });
}

}  // namespace tvrn::SystemTools
