#include "platform/OpenFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "platform/FileStore.h"
#include "platform/HardwareId.h"
#include "platform/PathResolver.h"

namespace tvrn {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Tries at a free name for the new file before giving up.
constexpr int kTemporaryNameTries = 8;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The folder `name` in `at`, a link there not followed (unless `links` is 0). One that may be
// searched but not listed (0711) is held by its place alone, which still gives its entries by
// name.
int openFolderAt(int at, const char* name, int links = O_NOFOLLOW) {
  const int fd = ::openat(at, name, kFolderFlags | links);
  if (fd >= 0 || errno != EACCES) return fd;
  return ::openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | links);
}

Result<std::vector<std::string>, int> namesAt(int folder) {
  const int fd = ::openat(folder, ".", kFolderFlags);
  if (fd < 0) return fail(errno);
  std::unique_ptr<DIR, DirCloser> listing(::fdopendir(fd));
  if (!listing) {
    const int code = errno;
    ::close(fd);
    return fail(code);
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view entryName = entry->d_name;
    if (entryName != "." && entryName != "..") names.emplace_back(entryName);
  }
  if (errno != 0) return fail(errno);
  return names;
}

int removeTree(int dir, const char* name) {
  struct stat info {};
  if (::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ::unlinkat(dir, name, 0) == 0 ? 0 : errno;
  const int inner = ::openat(dir, name, kFolderFlags | O_NOFOLLOW);
  if (inner < 0) return errno;
  const auto names = namesAt(inner);
  int failed = names ? 0 : names.error();
  for (std::size_t i = 0; names && i < names.value().size() && failed == 0; ++i) {
    failed = removeTree(inner, names.value()[i].c_str());
  }
  ::close(inner);
  if (failed != 0) return failed;
  return ::unlinkat(dir, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

Result<std::filesystem::path, std::string> walked(const std::filesystem::path& path) {
  return FileStore::throughLinks(path, FileStore::Unlooked::asWritten);
}

// The walk of a path whose last name is kept as written: a link there is the entry named.
Result<std::filesystem::path, std::string> walkedKeepingName(const std::filesystem::path& path) {
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::filesystem::path trimmed(text);
  const std::string name = trimmed.filename().string();
  if (name.empty() || name == "." || name == "..") return walked(trimmed);
  auto folder = walked(trimmed.has_parent_path() ? trimmed.parent_path() : ".");
  if (!folder) return folder;
  return folder.value() / name;
}

}  // namespace

Result<OpenFolder, int> OpenFolder::open(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), kFolderFlags);
  if (fd < 0) return fail(errno);
  return OpenFolder(fd);
}

Result<OpenFolder::Reached, std::string> OpenFolder::reach(const std::filesystem::path& path,
                                                           LastLink last) {
  const auto walk = last == LastLink::keep ? walkedKeepingName(path) : walked(path);
  if (!walk) return fail(walk.error());
  const std::filesystem::path& file = walk.value();
  Reached reached;
  reached.name = file.has_filename() ? file.filename().string() : ".";
  reached.folderPath = file.parent_path();
  const int fd = openFolderAt(AT_FDCWD, file.parent_path().c_str(), 0);
  if (fd < 0) {
    reached.folderError = errno;
    return reached;
  }
  OpenFolder folder(fd);
  // The walk left no link in the folder's path, so the system names it exactly so unless a link
  // was swapped in (or a folder moved) since.
  if (const std::string now = folder.realPath(); now != file.parent_path().string()) {
    return fail(path.string() + ": changed while it was opened (it now leads to " + now + ")");
  }
  reached.folder = std::move(folder);
  return reached;
}

Result<OpenFolder, int> OpenFolder::make(const std::filesystem::path& dir,
                                         const std::function<bool(const OpenFolder&)>& mayMakeIn) {
  auto folder = open(dir.is_absolute() ? "/" : ".");
  if (!folder) return folder;
  bool making = false;
  for (const auto& part : dir.relative_path()) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    int next = making ? -1 : openFolderAt(folder.value().fd_, name.c_str());
    if (making || (next < 0 && errno == ENOENT)) {
      if (!making && !mayMakeIn(folder.value())) return fail(EPERM);
      making = true;
      if (::mkdirat(folder.value().fd_, name.c_str(), 0777) != 0 && errno != EEXIST) {
        return fail(errno);
      }
      next = openFolderAt(folder.value().fd_, name.c_str());
    }
    if (next < 0) return fail(errno);
    folder = OpenFolder(next);
  }
  return folder;
}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OpenFolder::~OpenFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::string OpenFolder::realPath() const { return PathResolver::openPath(fd_).value_or(""); }

bool OpenFolder::holds(const std::string& name) const {
  struct stat info {};
  return ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<mode_t> OpenFolder::modeOf(const std::string& name) const {
  struct stat info {};
  if (::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return info.st_mode & 07777;
}

Result<RegularFile, std::string> OpenFolder::openFile(const std::string& name) const {
  return RegularFile::openInFolder(fd_, name);
}

Result<OpenFolder, int> OpenFolder::enter(const std::string& name) const {
  const int fd = openFolderAt(fd_, name.c_str());
  if (fd >= 0) return OpenFolder(fd);
  const int code = errno;
  // The system answers ENOTDIR for a link too; a link is told apart.
  struct stat info {};
  if (code == ENOTDIR && ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    return fail(ELOOP);
  }
  return fail(code);
}

Result<std::vector<std::string>, int> OpenFolder::names() const { return namesAt(fd_); }

int OpenFolder::writeFile(const std::string& name, std::string_view bytes, mode_t mode) const {
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameTries && fd < 0; ++attempt) {
    temporary = "." + name + "." + HardwareId::randomUUID().substr(0, 8);
    fd = ::openat(fd_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  // fchmod, unlike the mode given at creation, is not narrowed by the umask.
  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  int code = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::renameat(fd_, temporary.c_str(), fd_, name.c_str()) == 0) {
    ::fsync(fd_);
    return 0;
  }
  if (ok) code = errno;
  ::unlinkat(fd_, temporary.c_str(), 0);
  return code == 0 ? EIO : code;
}

int OpenFolder::moveEntry(const std::string& name, const OpenFolder& to,
                          const std::string& newName) const {
  if (::renameat2(fd_, name.c_str(), to.fd_, newName.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: the check and the rename are as close as can be.
  if (to.holds(newName)) return EEXIST;
  return ::renameat(fd_, name.c_str(), to.fd_, newName.c_str()) == 0 ? 0 : errno;
}

int OpenFolder::removeAll(const std::string& name) const { return removeTree(fd_, name.c_str()); }

}  // namespace tvrn
