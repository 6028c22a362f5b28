#include "platform/FileStore.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

#include "base/Timestamp.h"
#include "platform/FileWatch.h"

namespace tvrn::FileStore {
namespace {

bool fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
  return false;
}

bool writeAll(int fd, std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a write that takes nothing would take nothing for ever
    written += static_cast<size_t>(n);
  }
  return true;
}

// The kernel's limit on links followed in one path: the 41st fails with ELOOP.
constexpr int kMostLinks = 40;

// The names in a path, in order; "/" and empty names (a doubled or trailing "/") are none.
std::deque<std::string> namesOf(const std::filesystem::path& path) {
  std::deque<std::string> names;
  for (const auto& name : path.relative_path()) {
    if (!name.empty()) names.push_back(name.string());
  }
  return names;
}

}  // namespace

std::string ownerName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16 * 1024);
  const std::string number = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return number;
  }
  return std::string(found->pw_name) + " (" + number + ")";
}

bool trusted(uid_t owner) { return owner == ::geteuid() || owner == 0; }

namespace {

std::string notFollowed(const std::filesystem::path& path, const std::string& why) {
  return path.string() + ": " + why + "; not followed";
}

// What the link holds; nothing, with errno set, when it cannot be read or holds nothing.
std::optional<std::string> linkTarget(const std::filesystem::path& link) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
    if (length >= 0) errno = ENAMETOOLONG;
    return std::nullopt;
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// The file's whole contents, opened with `flags` added. Opened without waiting and read only
// when it holds a file: a named pipe in a file's place would hold the reader (and whatever lock
// it holds) until something writes into it, and a device might never end. A folder fails at its
// first read, as it always did. `named` is the path the caller gave, when it was walked to `file`:
// whether anything is there is told by it, and a file of another user is refused.
std::optional<std::string> readOpened(const std::filesystem::path& file, int flags,
                                      ReadError* error,
                                      const std::filesystem::path* named = nullptr) {
  const auto failed = [&](int code) -> std::optional<std::string> {
    if (error != nullptr) {
      struct stat info {};
      const std::filesystem::path& asked = named != nullptr ? *named : file;
      error->missing = (code == ENOENT || code == ENOTDIR) && ::lstat(asked.c_str(), &info) != 0;
      error->reason = std::strerror(code);
    }
    return std::nullopt;
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags);
  if (fd < 0) return failed(errno);
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !(S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode))) {
    ::close(fd);
    if (error != nullptr) *error = {false, false, "not a regular file"};
    return std::nullopt;
  }
  if (named != nullptr && !trusted(opened.st_uid)) {
    ::close(fd);
    if (error != nullptr) {
      *error = {false, true,
                file.string() + ": a file owned by " + ownerName(opened.st_uid) +
                    ", not by this user or root; not read"};
    }
    return std::nullopt;
  }
  std::string bytes;
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      return failed(code);
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

// `file` opened to be written with `flags`: links on the way are followed only as throughLinks
// follows them, and a file of another user's is not opened. -1 otherwise.
int openToWrite(const std::filesystem::path& file, int flags, mode_t mode) {
  const auto target = throughLinks(file, Unlooked::asWritten);
  if (!target) return -1;
  // A link put in place of what was looked at is not followed either.
  const int fd = ::open(target.value().c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, mode);
  struct stat info {};
  if (fd >= 0 && (::fstat(fd, &info) != 0 || !trusted(info.st_uid))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool ensureDirectory(const std::filesystem::path& dir, mode_t mode) {
  if (dir.empty()) return false;
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return true;
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    // A parent that cannot be made makes the mkdir below fail, which is the answer.
    static_cast<void>(ensureDirectory(dir.parent_path(), mode));
  }
  if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
  return std::filesystem::is_directory(dir, ec);
}

bool writeAtomic(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                 std::string* error, const std::function<bool()>& beforeRename) {
  Readiness::ownChange();  // the file may be watched: what this thread reads next looks again
  const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
  if (!ensureDirectory(dir)) return fail(error, "cannot create " + dir.string());

  std::string temporaryName(".");
  temporaryName.append(file.filename().string()).append(".XXXXXX");
  std::string tmpl = (dir / temporaryName).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return fail(error, "cannot create a temporary file in " + dir.string());

  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && beforeRename && !beforeRename()) {
    ::unlink(tmpl.c_str());
    if (error != nullptr) *error = file.string() + " changed meanwhile";
    return false;
  }
  if (!ok || ::rename(tmpl.c_str(), file.c_str()) != 0) {
    if (ok) savedErrno = errno;
    ::unlink(tmpl.c_str());
    errno = savedErrno;
    return fail(error, "cannot write " + file.string());
  }
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

Result<std::filesystem::path, std::string> throughLinks(const std::filesystem::path& file,
                                                        Unlooked unlooked, const LookIn& lookIn) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(file, error);
  if (error) return tvrn::fail(notFollowed(file, error.message()));
  std::deque<std::string> names = namesOf(absolute);
  std::filesystem::path reached = "/";  // no link in it: its text parent is its real parent
  bool missing = false;                 // past a name that is not there the rest is as written
  int links = 0;
  while (!names.empty()) {
    const std::string name = std::move(names.front());
    names.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      reached = reached.parent_path();
      continue;
    }
    const std::filesystem::path next = reached / name;
    if (!missing && lookIn) {
      if (auto why = lookIn(reached)) return tvrn::fail(std::move(*why));
    }
    struct stat info {};
    if (missing || ::lstat(next.c_str(), &info) != 0) {
      if (!missing && errno != ENOENT && errno != ENOTDIR && unlooked == Unlooked::refuse) {
        return tvrn::fail(notFollowed(next, std::strerror(errno)));
      }
      missing = true;
      reached = next;
      continue;
    }
    if (!S_ISLNK(info.st_mode)) {
      reached = next;
      continue;
    }
    if (++links > kMostLinks) {
      return tvrn::fail(notFollowed(file, "more than 40 links lead on from it"));
    }
    if (!trusted(info.st_uid)) {
      return tvrn::fail(notFollowed(
          next, "a link owned by " + ownerName(info.st_uid) + ", not by this user or root"));
    }
    const std::optional<std::string> target = linkTarget(next);
    if (!target) return tvrn::fail(notFollowed(next, std::strerror(errno)));
    if (target->front() == '/') reached = "/";
    const std::deque<std::string> targetNames = namesOf(*target);
    names.insert(names.begin(), targetNames.begin(), targetNames.end());
  }
  return reached;
}

// Plain reads rather than a stream: a stream throws when a read fails midway (a /proc file of a
// process that has just ended), and it would read a folder as an empty file.
std::optional<std::string> read(const std::filesystem::path& file, ReadError* error) {
  return readOpened(file, 0, error);
}

std::optional<std::string> readOwn(const std::filesystem::path& file, ReadError* error) {
  const auto target = throughLinks(file);
  if (!target) {
    if (error != nullptr) *error = {false, true, target.error()};
    return std::nullopt;
  }
  // A link put in the walked file's place since is not followed (ELOOP, so not missing).
  return readOpened(target.value(), O_NOFOLLOW, error, &file);
}

bool ensureFile(const std::filesystem::path& file, mode_t mode) {
  // Without the folder the open below fails, which is the answer.
  if (file.has_parent_path()) static_cast<void>(ensureDirectory(file.parent_path()));
  const int fd = openToWrite(file, O_CREAT, mode);
  if (fd < 0) return false;
  ::fchmod(fd, mode);
  ::close(fd);
  return true;
}

bool append(const std::filesystem::path& file, std::string_view bytes,
            std::optional<mode_t> createMode) {
  const int fd = openToWrite(file, O_APPEND | (createMode ? O_CREAT : 0), createMode.value_or(0));
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes);
  ::close(fd);
  return written;
}

std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file,
                                               std::string* reason) {
  Readiness::ownChange();
  const std::string base = file.string() + ".corrupt-" + Timestamp::compactUTC();
  std::filesystem::path target = base;
  // A dangling link counts as taken: the rename would replace it.
  const auto taken = [](const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
  };
  for (int n = 2; taken(target); ++n) target = base + "-" + std::to_string(n);
  if (::rename(file.c_str(), target.c_str()) != 0) {
    if (reason != nullptr) *reason = std::strerror(errno);
    return std::nullopt;
  }
  return target;
}

}  // namespace tvrn::FileStore
