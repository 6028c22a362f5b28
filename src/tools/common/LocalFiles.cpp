#include "tools/common/LocalFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "base/Timestamp.h"
#include "base/Utf8.h"
#include "platform/FileStore.h"
#include "platform/OpenFolder.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/RegularFile.h"

namespace tvrn::LocalFiles {
namespace {

constexpr std::int64_t kDefaultReadBytes = 1048576;
constexpr std::int64_t kMinReadBytes = 1024;
constexpr std::int64_t kMaxReadBytes = 10485760;
constexpr const char* kOwnFolderReason =
    ", where Tavrin keeps its own settings and data; tools that take a path do not read, list "
    "or write there.";

std::string isoTime(std::int64_t seconds) {
  return Timestamp::iso8601UTC(
      std::chrono::system_clock::time_point(std::chrono::seconds(seconds)));
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.ends_with(suffix);
}

bool isPackageName(std::string_view name) {
  return endsWith(name, ".app") || endsWith(name, ".bundle") || endsWith(name, ".framework");
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

struct FolderId {
  dev_t device;
  ino_t inode;
};

// The system's own folders by identity, so a walk passes them by however it reaches them.
std::vector<FolderId> ownFolderIds() {
  std::vector<FolderId> ids;
  for (const std::string& folder : PathResolver::ownFolders()) {
    if (struct stat info{}; ::stat(folder.c_str(), &info) == 0) {
      ids.push_back({info.st_dev, info.st_ino});
    }
  }
  return ids;
}

bool isOwnFolder(const struct stat& info, const std::vector<FolderId>& own) {
  return std::any_of(own.begin(), own.end(), [&](const FolderId& id) {
    return id.device == info.st_dev && id.inode == info.st_ino;
  });
}

bool walkEntries(const std::string& dir, const std::vector<std::string>& names, WalkOptions options,
                 const std::vector<FolderId>& own,
                 const std::function<bool(const std::string&)>& visit) {
  for (const std::string& name : names) {
    if (isHidden(name)) continue;
    const std::string path = childPath(dir, name);
    // A real folder, not a link to one: walks never follow links.
    struct stat info {};
    const bool folder = ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (folder && isOwnFolder(info, own)) continue;
    if (!visit(path)) return false;
    if (!folder) continue;
    if (!options.enterPackages && isPackageName(name)) continue;
    auto inner = entriesOf(path);
    if (inner.ok() && !walkEntries(path, inner.value(), options, own, visit)) return false;
  }
  return true;
}

ToolError ownFolderDenial(const std::string& path, const std::string& folder) {
  return ToolError::executionFailed("Access denied: '" + path + "' leads into " +
                                    Paths::withTilde(folder) + kOwnFolderReason);
}

ToolError linkDenial(const std::string& path, const std::string& why) {
  return ToolError::executionFailed("Access denied: '" + path + "': " + why);
}

}  // namespace

std::optional<EntryInfo> entryInfo(const std::string& path) {
  struct statx info {};
  const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
  if (::statx(AT_FDCWD, path.c_str(), 0, mask, &info) != 0 &&
      ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &info) != 0) {
    return std::nullopt;
  }
  EntryInfo entry;
  entry.isDirectory = (info.stx_mask & STATX_TYPE) != 0 && S_ISDIR(info.stx_mode);
  if (!entry.isDirectory && (info.stx_mask & STATX_SIZE) != 0) {
    entry.size = static_cast<std::int64_t>(info.stx_size);
  }
  if ((info.stx_mask & STATX_MTIME) != 0) entry.modified = isoTime(info.stx_mtime.tv_sec);
  if ((info.stx_mask & STATX_BTIME) != 0) entry.created = isoTime(info.stx_btime.tv_sec);
  return entry;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
  return std::string(path.substr(slash + 1));
}

std::string extensionOf(std::string_view path) {
  const std::string name = lastComponent(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return "";
  return Utf8::lowercased(std::string_view(name).substr(dot + 1));
}

bool isHidden(std::string_view name) { return !name.empty() && name.front() == '.'; }

// Where the system does not say the umask, the document stays private.
mode_t newDocumentMode() { return 0644 & ~ProcessInfo::fileCreationMask().value_or(077); }

std::string childPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path != "/") path += '/';
  return path + std::string(name);
}

std::string shownText(std::string_view bytes) {
  return Utf8::isValid(bytes) ? std::string(bytes) : Utf8::replaceInvalid(bytes);
}

bool nameContains(std::string_view path, const std::string& loweredQuery) {
  return Utf8::lowercased(lastComponent(path)).find(loweredQuery) != std::string::npos;
}

PageRequest pageRequest(const Params::Arguments& arguments) {
  return {std::max<std::int64_t>(Params::optionalInt("offset", arguments, 0), 0),
          std::clamp(Params::optionalInt("max_bytes", arguments, kDefaultReadBytes), kMinReadBytes,
                     kMaxReadBytes)};
}

Result<std::vector<std::string>, int> entriesOf(const std::string& dir) {
  std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
  if (!handle) return fail(errno);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return fail(errno);
  return names;
}

bool walk(const std::string& root, WalkOptions options,
          const std::function<bool(const std::string& path)>& visit) {
  // A root that is itself one of them (a OneDrive folder linked there) is passed by too.
  if (PathResolver::ownFolderHolding(root)) return false;
  auto names = entriesOf(root);
  if (!names.ok()) return false;
  walkEntries(root, names.value(), options, ownFolderIds(), visit);
  return true;
}

std::optional<ToolError> ownFolderRefusal(const std::string& path) {
  const auto folder = PathResolver::ownFolderHolding(path);
  if (!folder) return std::nullopt;
  return ownFolderDenial(path, *folder);
}

std::optional<ToolError> ownFolderRefusal(const std::string& path, int opened) {
  const auto folder = PathResolver::ownFolderHoldingOpenFile(opened);
  if (!folder) return std::nullopt;
  return ownFolderDenial(path, *folder);
}

std::optional<ToolError> pathRefusal(const std::string& path) {
  const auto walked = FileStore::throughLinks(path, FileStore::Unlooked::asWritten);
  if (!walked) return linkDenial(path, walked.error());
  return ownFolderRefusal(path);
}

Result<RegularFile, NotOpened> openNamed(const std::string& path) {
  if (auto refusal = pathRefusal(path)) return fail(NotOpened{refusal, false, ""});
  auto reached = OpenFolder::reach(path);
  if (!reached) return fail(NotOpened{linkDenial(path, reached.error()), false, ""});
  const OpenFolder::Reached& place = reached.value();
  // A folder that cannot be opened cannot show what it holds: nothing is there to be read.
  if (!place.folder || !place.folder->holds(place.name)) {
    return fail(
        NotOpened{std::nullopt, true, std::strerror(place.folder ? ENOENT : place.folderError)});
  }
  // A folder, a named pipe or a device is refused at once, never waited on or read without end.
  auto file = place.folder->openFile(place.name);
  if (!file) return fail(NotOpened{std::nullopt, false, file.error()});
  if (auto refusal = ownFolderRefusal(path, file.value().fd())) {
    return fail(NotOpened{refusal, false, ""});
  }
  return std::move(file).value();
}

Result<Page, ToolError> readPage(const std::string& path, std::int64_t offset,
                                 std::int64_t maxBytes) {
  auto file = openNamed(path);
  if (!file) {
    if (file.error().refusal) return fail(*file.error().refusal);
    if (file.error().missing) return fail(ToolError::resourceNotFound(path));
  }
  const auto cannotOpen = [&] { return ToolError::executionFailed("Cannot open file: " + path); };
  if (!file) return fail(cannotOpen());
  Page page;
  page.offset = offset;
  page.fileSize = file.value().size();
  if (offset > 0 && page.fileSize <= offset) {
    return fail(ToolError::invalidParam("offset", "offset (" + std::to_string(offset) +
                                                      ") beyond file size (" +
                                                      std::to_string(page.fileSize) + ")"));
  }
  auto bytes = file.value().readAt(offset, static_cast<std::size_t>(maxBytes));
  if (!bytes) return fail(cannotOpen());
  page.bytes = std::move(bytes).value();
  return page;
}

}  // namespace tvrn::LocalFiles
