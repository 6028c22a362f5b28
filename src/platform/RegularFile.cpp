#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tvrn {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;

std::string tooLarge(std::size_t cap) {
  if (cap % kMiB != 0) return "larger than " + std::to_string(cap) + " bytes";
  return "larger than " + std::to_string(cap / kMiB) + " MiB";
}

}  // namespace

Result<RegularFile, std::string> RegularFile::open(const std::filesystem::path& file) {
  return openAt(AT_FDCWD, file.c_str(), 0);
}

Result<RegularFile, std::string> RegularFile::openInFolder(int folder, const std::string& name) {
  return openAt(folder, name.c_str(), O_NOFOLLOW);
}

Result<RegularFile, std::string> RegularFile::openAt(int folder, const char* name, int flags) {
  // A device is not even opened: opening some does something (a tape rewinds, a watchdog arms).
  struct stat before {};
  if (::fstatat(folder, name, &before, flags & O_NOFOLLOW ? AT_SYMLINK_NOFOLLOW : 0) == 0 &&
      !S_ISREG(before.st_mode) && !S_ISLNK(before.st_mode)) {
    return fail(std::string("not a regular file"));
  }
  // Without O_NONBLOCK, opening a pipe waits for a writer that may never come.
  const int fd = ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags);
  if (fd < 0) return fail(std::string(std::strerror(errno)));
  RegularFile opened(fd, 0);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(std::string(std::strerror(errno)));
  if (!S_ISREG(info.st_mode)) return fail(std::string("not a regular file"));
  opened.size_ = static_cast<std::int64_t>(info.st_size);
  // Regular files never block; the flag goes so that whoever takes the descriptor reads plainly.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return opened;
}

Result<std::string, std::string> RegularFile::read(const std::filesystem::path& file,
                                                   std::size_t cap) {
  auto opened = open(file);
  if (!opened) return fail(opened.error());
  return opened.value().readAll(cap);
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

int RegularFile::release() { return std::exchange(fd_, -1); }

Result<RegularFile, std::string> RegularFile::duplicate() const {
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return fail(std::string(std::strerror(errno)));
  return RegularFile(fd, size_);
}

Result<std::string, std::string> RegularFile::readAt(std::int64_t offset,
                                                     std::size_t length) const {
  // As much as the file holds now, and one byte more to see whether it grew meanwhile; only a
  // file that grew (or one that tells no size, as /proc's do) is read on in chunks. A chunk for
  // every file would give each small one a buffer that large, which the allocator hands out with
  // mmap and takes back with munmap, file after file.
  std::size_t expected = 0;
  struct stat info {};
  if (::fstat(fd_, &info) == 0) {
    const std::int64_t left = std::max<std::int64_t>(0, info.st_size - offset);
    expected = std::min(length, static_cast<std::size_t>(left) + 1);
  }
  std::string bytes;
  while (bytes.size() < length) {
    const std::size_t had = bytes.size();
    const std::size_t want = had < expected ? expected - had : std::min(kChunk, length - had);
    bytes.resize(had + want);
    const ssize_t got =
        ::pread(fd_, bytes.data() + had, want, static_cast<off_t>(offset + std::int64_t(had)));
    const int code = errno;
    bytes.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && code == EINTR) continue;
    if (got < 0) return fail(std::string(std::strerror(code)));
    if (got == 0) break;
  }
  return bytes;
}

Result<std::string, std::string> RegularFile::readAll(std::size_t cap) const {
  // Known too large already: nothing is read.
  if (size_ > static_cast<std::int64_t>(cap)) return fail(tooLarge(cap));
  auto bytes = readAt(0, cap + 1);
  if (bytes && bytes.value().size() > cap) return fail(tooLarge(cap));
  return bytes;
}

}  // namespace tvrn
