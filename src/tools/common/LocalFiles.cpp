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

std::optional<EntryInfo> infoAt(int folder, const char* name, int flags) {
  struct statx info {};
  const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
  if (::statx(folder, name, flags, mask, &info) != 0) return std::nullopt;
  EntryInfo entry;
  entry.isDirectory = (info.stx_mask & STATX_TYPE) != 0 && S_ISDIR(info.stx_mode);
  if (!entry.isDirectory && (info.stx_mask & STATX_SIZE) != 0) {
    entry.size = static_cast<std::int64_t>(info.stx_size);
  }
  if ((info.stx_mask & STATX_MTIME) != 0) entry.modified = isoTime(info.stx_mtime.tv_sec);
  if ((info.stx_mask & STATX_BTIME) != 0) entry.created = isoTime(info.stx_btime.tv_sec);
  return entry;
}

bool isOwnFolder(int folder, const std::vector<FolderId>& own) {
  struct stat info {};
  return ::fstat(folder, &info) == 0 && isOwnFolder(info, own);
}

bool walkFolder(const OpenFolder& dir, const std::string& dirPath, WalkOptions options,
                const std::vector<FolderId>& own,
                const std::function<bool(const WalkEntry&)>& visit) {
  const auto names = dir.names();
  if (!names) return true;
  for (const std::string& name : names.value()) {
    if (isHidden(name)) continue;
    const std::string path = childPath(dirPath, name);
    // A real folder, not a link to one: walks never follow links.
    struct stat info {};
    const bool folder =
        ::fstatat(dir.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    if (folder && isOwnFolder(info, own)) continue;
    if (!visit({dir, name, path})) return false;
    if (!folder || (!options.enterPackages && isPackageName(name))) continue;
    // What is entered is judged again: a folder swapped in since the look above may be ours.
    auto inner = dir.enter(name);
    if (!inner || isOwnFolder(inner.value().fd(), own)) continue;
    if (!walkFolder(inner.value(), path, options, own, visit)) return false;
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

std::optional<EntryInfo> entryInfo(const OpenFolder& folder, const std::string& name) {
  if (auto followed = infoAt(folder.fd(), name.c_str(), 0)) return followed;
  return infoAt(folder.fd(), name.c_str(), AT_SYMLINK_NOFOLLOW);
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

Result<void, NotOpened> walk(const std::string& root, WalkOptions options,
                             const std::function<bool(const WalkEntry& entry)>& visit) {
  const auto folder = openFolderNamed(root);
  if (!folder) return fail(folder.error());
  walkFolder(folder.value(), root, options, ownFolderIds(), visit);
  return {};
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

namespace {

// The refusal of what the path was opened to: the own-folder rule's, else the caller's bound's.
std::optional<ToolError> openedRefusal(const std::string& path, int opened,
                                       const OpenedRefusal& bound) {
  if (auto refusal = ownFolderRefusal(path, opened)) return refusal;
  return bound ? bound(opened) : std::nullopt;
}

}  // namespace

Result<OpenFolder::Reached, ToolError> reach(const std::string& path, OpenFolder::LastLink last) {
  auto reached = OpenFolder::reach(path, last);
  if (!reached) return fail(linkDenial(path, reached.error()));
  return std::move(reached).value();
}

Result<RegularFile, NotOpened> openNamed(const std::string& path, const OpenedRefusal& bound) {
  if (auto refusal = pathRefusal(path)) return fail(NotOpened{refusal, false, "", 0});
  auto reached = reach(path);
  if (!reached) return fail(NotOpened{reached.error(), false, "", 0});
  const OpenFolder::Reached& place = reached.value();
  // A folder that cannot be opened cannot show what it holds: nothing is there to be read.
  if (!place.folder || !place.folder->holds(place.name)) {
    return fail(
        NotOpened{std::nullopt, true, std::strerror(place.folder ? ENOENT : place.folderError), 0});
  }
  // A folder, a named pipe or a device is refused at once, never waited on or read without end.
  auto file = place.folder->openFile(place.name);
  if (!file) return fail(NotOpened{std::nullopt, false, file.error(), 0});
  if (auto refusal = openedRefusal(path, file.value().fd(), bound)) {
    return fail(NotOpened{refusal, false, "", 0});
  }
  return std::move(file).value();
}

Result<EntryInfo, NotOpened> infoNamed(const std::string& path, const OpenedRefusal& bound) {
  auto reached = reach(path);
  if (!reached) return fail(NotOpened{reached.error(), false, "", 0});
  const OpenFolder::Reached& place = reached.value();
  // The entry itself, a link not followed: the walk followed every one, so a link is new.
  const int entry = place.folder ? ::openat(place.folder->fd(), place.name.c_str(),
                                            O_PATH | O_NOFOLLOW | O_CLOEXEC)
                                 : -1;
  if (entry < 0) return fail(NotOpened{std::nullopt, true, "", ENOENT});
  const auto info = infoAt(entry, "", AT_EMPTY_PATH);
  struct stat kind {};
  const bool link = ::fstat(entry, &kind) == 0 && S_ISLNK(kind.st_mode);
  auto refusal = link ? std::optional(swappedRefusal(path)) : openedRefusal(path, entry, bound);
  ::close(entry);
  if (refusal) return fail(NotOpened{refusal, false, "", 0});
  if (!info) return fail(NotOpened{std::nullopt, false, "", 0});
  return *info;
}

Result<OpenFolder, NotOpened> openFolderNamed(const std::string& path, const OpenedRefusal& bound) {
  const auto failed = [](int error) {
    return NotOpened{std::nullopt, error == ENOENT, std::strerror(error), error};
  };
  if (auto refusal = pathRefusal(path)) return fail(NotOpened{refusal, false, "", 0});
  auto reached = reach(path);
  if (!reached) return fail(NotOpened{reached.error(), false, "", 0});
  const OpenFolder::Reached& place = reached.value();
  // A folder on the way that is missing, or is no folder, leaves nothing at the path.
  if (!place.folder) return fail(failed(place.folderError == ENOTDIR ? ENOENT : place.folderError));
  auto folder = place.folder->enter(place.name);
  if (!folder && folder.error() == ELOOP)
    return fail(NotOpened{swappedRefusal(path), false, "", 0});
  if (!folder) return fail(failed(folder.error()));
  if (auto refusal = openedRefusal(path, folder.value().fd(), bound)) {
    return fail(NotOpened{refusal, false, "", 0});
  }
  return std::move(folder).value();
}

ToolError swappedRefusal(const std::string& path) {
  return linkDenial(path, path + ": a link took its place while it was opened; not followed");
}

Result<std::vector<Listed>, NotOpened> listNamed(const std::string& path, bool withHidden,
                                                 std::size_t most, const OpenedRefusal& bound) {
  const auto folder = openFolderNamed(path, bound);
  if (!folder) return fail(folder.error());
  const auto names = folder.value().names();
  if (!names) {
    return fail(NotOpened{std::nullopt, false, std::strerror(names.error()), names.error()});
  }
  std::vector<Listed> entries;
  for (const std::string& name : names.value()) {
    if (entries.size() >= most) break;
    if (withHidden || !isHidden(name)) entries.push_back({name, entryInfo(folder.value(), name)});
  }
  return entries;
}

ToolError listingFailure(const std::string& path, const NotOpened& why,
                         const std::string& cannotList) {
  if (why.refusal) return *why.refusal;
  if (why.missing) return ToolError::resourceNotFound(path);
  if (why.error == ENOTDIR) return ToolError::invalidParam("path", "directory");
  return ToolError::executionFailed(cannotList);
}

Result<Page, ToolError> readPage(const std::string& path, std::int64_t offset,
                                 std::int64_t maxBytes, const OpenedRefusal& bound) {
  auto file = openNamed(path, bound);
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
