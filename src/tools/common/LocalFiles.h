// What the local file tools and the OneDrive tools share: an entry's attributes as listings show
// them, the entries of one folder, a walk of a folder tree and reading one page of a file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"
#include "platform/OpenFolder.h"
#include "platform/RegularFile.h"

namespace tvrn::LocalFiles {

struct EntryInfo {
  bool isDirectory = false;
  std::int64_t size = 0;  // 0 for a folder, as listings show it
  std::string modified;   // ISO 8601 UTC to the second; empty when unknown
  std::string created;    // the birth time where the file system keeps one; else empty
};

// The attributes of the entry `name` of the open folder: of what a link there leads to; a link
// whose target is missing gives its own. Nothing when neither can be read.
std::optional<EntryInfo> entryInfo(const OpenFolder& folder, const std::string& name);

// True when something is at the path, following links.
bool exists(const std::string& path);
bool isDirectory(const std::string& path);

std::string lastComponent(std::string_view path);
// The lower-cased text after the name's last ".", empty when there is none or it ends the name
// (".gitignore" has the extension "gitignore", as the readable-extension sets expect).
std::string extensionOf(std::string_view path);
// A name starting with ".".
bool isHidden(std::string_view name);
// The folder joined with a name, without doubling a "/".
std::string childPath(std::string_view dir, std::string_view name);
// File names are bytes; results are JSON text, so ill-formed UTF-8 is shown as U+FFFD.
std::string shownText(std::string_view bytes);

// Whether the entry's name, lower-cased, holds the already lower-cased query.
bool nameContains(std::string_view path, const std::string& loweredQuery);

// The names in a folder, in the folder's own order, without "." and ".."; the errno of the
// failure when the folder cannot be read.
Result<std::vector<std::string>, int> entriesOf(const std::string& dir);

// The mode of a document a tool makes anew for the user: 0644 less the process's umask, as the
// user's other programs would make it. A document that is replaced keeps its own mode instead.
mode_t newDocumentMode();

// The refusal, naming the path, of a path that leads into the system's own settings or data
// folder once links and ".." are resolved; nothing for any other path. Every tool that takes a
// path from its caller asks this before it touches the path.
std::optional<ToolError> ownFolderRefusal(const std::string& path);
// The same refusal of what the path was opened to (the descriptor of a file or a folder), judged
// by what is open rather than by the path: a link swapped after the path was looked at, or a
// second name (hard link) of one of the system's files, is refused too.
std::optional<ToolError> ownFolderRefusal(const std::string& path, int opened);

// The refusal, naming the path, of a path that goes through a link another user owns (the link
// and its owner named) or that leads into the system's own folders; nothing for any other path.
// Every tool that takes a path from its caller asks this before it touches the path.
std::optional<ToolError> pathRefusal(const std::string& path);

// OpenFolder::reach of a path a caller named; the refusal names the path, as pathRefusal's do.
Result<OpenFolder::Reached, ToolError> reach(
    const std::string& path, OpenFolder::LastLink last = OpenFolder::LastLink::follow);

// A caller's own bound judged on what a reader opened (the descriptor of the file or folder),
// as ownFolderRefusal(path, opened) is: the refusal, or nothing when what is open may be read.
using OpenedRefusal = std::function<std::optional<ToolError>(int opened)>;

// Why a file or folder a caller named was not opened.
struct NotOpened {
  std::optional<ToolError> refusal;  // a link of another user on the way, or an own folder
  bool missing = false;              // nothing is there
  std::string reason;                // else the system's words, or "not a regular file"
  int error = 0;                     // for a folder, the errno (ENOTDIR: something else is there)
};

// The file the path names, opened for reading through OpenFolder::reach: links on the way are
// followed only where they belong to the user or root, and a link put in the file's place since
// the walk is not followed. What was opened is judged again by ownFolderRefusal, then by `bound`.
Result<RegularFile, NotOpened> openNamed(const std::string& path,
                                         const OpenedRefusal& bound = nullptr);

// The attributes of the file or folder the path names, reached as openNamed reaches a file and
// read from what was opened: a link put in its place since the walk is refused rather than
// followed, as is an entry of the system's own folders or one `bound` refuses.
Result<EntryInfo, NotOpened> infoNamed(const std::string& path,
                                       const OpenedRefusal& bound = nullptr);

// The folder the path names, reached as openNamed reaches a file and entered without following
// a link: one swapped into its place since is refused, as is one of the system's own folders or
// one `bound` refuses.
Result<OpenFolder, NotOpened> openFolderNamed(const std::string& path,
                                              const OpenedRefusal& bound = nullptr);

// An entry of a listed folder, with its attributes as entryInfo reads them (nothing when they
// cannot be read).
struct Listed {
  std::string name;
  std::optional<EntryInfo> info;
};
// The entries of the folder the path names, opened as openFolderNamed opens it, in the folder's
// own order; hidden ones only when asked for.
Result<std::vector<Listed>, NotOpened> listNamed(const std::string& path, bool withHidden,
                                                 std::size_t most = SIZE_MAX,
                                                 const OpenedRefusal& bound = nullptr);
// Why a listing of the path gives nothing: the refusal; resourceNotFound when nothing is there;
// invalidParam for "path", expected "directory", when something else is; else executionFailed
// with `cannotList`.
ToolError listingFailure(const std::string& path, const NotOpened& why,
                         const std::string& cannotList);
// The refusal of an entry that a link took the place of while it was opened.
ToolError swappedRefusal(const std::string& path);

struct WalkOptions {
  // Whether the insides of packages (folders named *.app, *.bundle, *.framework) are visited.
  bool enterPackages = true;
};

// An entry a walk visits: its name in the folder that holds it, open, and its path below the root
// as the caller named the root.
struct WalkEntry {
  const OpenFolder& folder;
  const std::string& name;
  const std::string& path;
};

// Visits every entry below root depth-first in each folder's own order, skipping hidden entries
// and the system's own folders. Root is opened as openFolderNamed opens it, and every folder
// below it is entered by its descriptor without following a link, so a link swapped in during the
// walk leads it nowhere; folders that cannot be read are passed over. The visitor returns false to
// stop the walk. Fails, as openFolderNamed does, when root itself cannot be opened so.
Result<void, NotOpened> walk(const std::string& root, WalkOptions options,
                             const std::function<bool(const WalkEntry& entry)>& visit);

// One page of a file: up to maxBytes bytes from offset.
struct Page {
  std::string bytes;
  std::int64_t fileSize = 0;  // 0 when the size cannot be read
  std::int64_t offset = 0;
  std::int64_t end() const { return offset + static_cast<std::int64_t>(bytes.size()); }
  bool truncated() const { return fileSize > end(); }
};

// The page the arguments "offset" (default 0, negative counts as 0) and "max_bytes" (default
// 1 MB, kept between 1 KB and 10 MB) ask for.
struct PageRequest {
  std::int64_t offset = 0;
  std::int64_t maxBytes = 0;
};
PageRequest pageRequest(const Params::Arguments& arguments);

// resourceNotFound(path) when nothing is there; executionFailed "Cannot open file: " + path when
// it cannot be opened or read, or is not a regular file once links are followed; the own-folder
// refusal when what was opened is kept in the system's own folders, or `bound`'s; invalidParam
// for "offset" when offset > 0 lies at or past the end.
Result<Page, ToolError> readPage(const std::string& path, std::int64_t offset,
                                 std::int64_t maxBytes, const OpenedRefusal& bound = nullptr);

}  // namespace tvrn::LocalFiles
