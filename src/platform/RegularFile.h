// A file a caller named, opened for reading in a way that can neither hang nor flood the reader:
// the open never blocks (a named pipe answers at once, a device is not even opened), only a
// regular file is kept, links followed, and whole reads stop at a cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/Result.h"

namespace tvrn {

class RegularFile {
 public:
  // What any reader takes into memory of one file at most.
  static constexpr std::size_t kMaxBytes = std::size_t{256} * 1024 * 1024;

  // The open file; else why not, in the system's words or "not a regular file".
  static Result<RegularFile, std::string> open(const std::filesystem::path& file);
  // The entry `name` of the folder open at `folder`, as open() does, except that a link in that
  // last step is refused instead of followed.
  static Result<RegularFile, std::string> openInFolder(int folder, const std::string& name);

  // The whole file; fails with "larger than N MiB" past `cap` bytes, also when the file grows
  // while it is read.
  static Result<std::string, std::string> read(const std::filesystem::path& file,
                                               std::size_t cap = kMaxBytes);

  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  ~RegularFile();

  int fd() const { return fd_; }
  // The size when it was opened.
  std::int64_t size() const { return size_; }
  // Hands the descriptor (close-on-exec, blocking reads) to the caller, who closes it.
  int release();
  // A second descriptor of the same open file, for a reader that may outlive this one.
  Result<RegularFile, std::string> duplicate() const;

  // Up to `length` bytes from `offset`; fewer at the end of the file. Fails on a read error.
  Result<std::string, std::string> readAt(std::int64_t offset, std::size_t length) const;

  // The rest of the file from its start, as read() describes.
  Result<std::string, std::string> readAll(std::size_t cap = kMaxBytes) const;

 private:
  RegularFile(int fd, std::int64_t size) : fd_(fd), size_(size) {}
  static Result<RegularFile, std::string> openAt(int folder, const char* name, int flags);
  int fd_ = -1;
  std::int64_t size_ = 0;
};

}  // namespace tvrn
