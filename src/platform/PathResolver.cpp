#include "platform/PathResolver.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Paths.h"

namespace tvrn::PathResolver {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

std::deque<std::string> components(std::string_view path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string absolute(std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::error_code error;
  std::string base = std::filesystem::current_path(error).string();
  if (error || base.empty()) base = "/";
  return base + "/" + std::string(path);
}

std::string joined(const std::string& base, const std::string& part) {
  return base == "/" ? "/" + part : base + "/" + part;
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

std::optional<std::string> linkTarget(const std::string& path) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// How deep below an own folder a second name of a file is looked for.
constexpr int kMaxOwnDepth = 16;

// Closes the descriptor it holds.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// True when an entry below the folder open at `dir` is the file itself (same device and inode).
// Links are not followed and folders that cannot be read are passed by.
bool holdsFile(int dir, const struct stat& file, int depthLeft) {
  const int listingFd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);  // fdopendir takes it over
  if (listingFd < 0) return false;
  std::unique_ptr<DIR, DirCloser> listing(::fdopendir(listingFd));
  if (!listing) {
    ::close(listingFd);
    return false;
  }
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    if (::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (info.st_dev == file.st_dev && info.st_ino == file.st_ino) return true;
    if (!S_ISDIR(info.st_mode) || depthLeft == 0) continue;
    const Descriptor inner(
        ::openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inner.get() >= 0 && holdsFile(inner.get(), file, depthLeft - 1)) return true;
  }
  return false;
}

// The own folder in which another name of the regular file lies.
std::optional<std::string> ownFolderWithSecondName(const struct stat& file) {
  if (!S_ISREG(file.st_mode) || file.st_nlink < 2) return std::nullopt;
  for (std::string& folder : ownFolders()) {
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0 && holdsFile(dir.get(), file, kMaxOwnDepth)) return std::move(folder);
  }
  return std::nullopt;
}

}  // namespace

std::string standardize(std::string_view path) {
  std::vector<std::string> kept;
  for (std::string& part : components(absolute(path))) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(part));
  }
  std::string result;
  for (const std::string& part : kept) result += "/" + part;
  return result.empty() ? "/" : result;
}

std::string resolve(std::string_view path) {
  std::deque<std::string> todo = components(absolute(path));
  std::string real = "/";
  std::vector<std::string> rest;  // the components past the last one that exists
  int linksFollowed = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      // Past the existing part ".." only undoes a name; inside it, `real` has no links left, so
      // its text parent is the real parent.
      if (!rest.empty()) {
        rest.pop_back();
      } else {
        real = parentOf(real);
      }
      continue;
    }
    if (!rest.empty()) {
      rest.push_back(std::move(part));
      continue;
    }
    const std::string candidate = joined(real, part);
    if (auto resolved = realPath(candidate)) {
      real = std::move(*resolved);
      continue;
    }
    // A link to something missing: a create through it would land at its target.
    if (auto target = linkTarget(candidate); target && linksFollowed < kMaxLinks) {
      ++linksFollowed;
      if (target->front() == '/') real = "/";
      std::deque<std::string> targetParts = components(*target);
      todo.insert(todo.begin(), targetParts.begin(), targetParts.end());
      continue;
    }
    rest.push_back(std::move(part));
  }
  for (const std::string& part : rest) real = joined(real, part);
  return real;
}

bool isWithin(std::string_view path, std::string_view root) {
  if (root == "/") return !path.empty() && path.front() == '/';
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  if (!path.starts_with(root)) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

std::vector<std::string> ownFolders() {
  return {resolve(Paths::appSupport().string()), resolve(Paths::localShare().string())};
}

std::optional<std::string> ownFolderHolding(std::string_view path) {
  const std::string target = resolve(path);
  for (std::string& folder : ownFolders()) {
    if (isWithin(target, folder)) return std::move(folder);
  }
  return std::nullopt;
}

std::optional<std::string> openPath(int descriptor) {
  return linkTarget("/proc/self/fd/" + std::to_string(descriptor));
}

std::optional<std::string> ownFolderHoldingOpenFile(int descriptor) {
  const auto where = openPath(descriptor);
  struct stat info {};
  std::vector<std::string> folders = ownFolders();
  if (!where || ::fstat(descriptor, &info) != 0) return std::move(folders.front());
  for (std::string& folder : folders) {
    if (isWithin(*where, folder)) return std::move(folder);
  }
  return ownFolderWithSecondName(info);
}

}  // namespace tvrn::PathResolver
