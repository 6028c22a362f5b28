#include "platform/FileStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tvrn::FileStore {
namespace {

bool fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
  return false;
}

bool writeAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ensureDirectory(const std::filesystem::path& dir, mode_t mode) {
  if (dir.empty()) return false;
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return true;
  if (dir.has_parent_path() && dir.parent_path() != dir) ensureDirectory(dir.parent_path(), mode);
  if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
  return std::filesystem::is_directory(dir, ec);
}

bool writeAtomic(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                 std::string* error) {
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

std::optional<std::string> read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return buffer.str();
}

}  // namespace tvrn::FileStore
