#include "cloud/UpdateArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/FileStore.h"

namespace tvrn::UpdateArchive {
namespace {

namespace fs = std::filesystem;

using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string systemError(int error) { return std::system_category().message(error); }

// The entry's path relative to the archive's root with "." pieces dropped; an error for a name
// that could land anywhere but under "bin/" or "tray/".
Result<fs::path, std::string> safeName(const char* raw) {
  if (raw == nullptr || *raw == '\0') return fail(std::string("an entry without a name"));
  const std::string_view name(raw);
  if (name.front() == '/') return fail("an absolute name: " + std::string(name));
  fs::path relative;
  for (const auto& piece : fs::path(name)) {
    if (piece == "..") return fail("a name that climbs out: " + std::string(name));
    if (piece.empty() || piece == ".") continue;
    relative /= piece;
  }
  if (relative.empty()) return relative;  // the archive's root folder itself
  const auto top = *relative.begin();
  if (top != "bin" && top != "tray") {
    return fail("a name outside bin/ and tray/: " + std::string(name));
  }
  return relative;
}

std::optional<std::string> copyData(archive* reader, int fd, std::uint64_t& unpacked) {
  const void* block = nullptr;
  std::size_t size = 0;
  la_int64_t offset = 0;
  while (true) {
    const int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) return std::nullopt;
    if (status != ARCHIVE_OK) return std::string(archive_error_string(reader));
    unpacked += size;
    if (unpacked > kMaxUnpackedBytes)
      return std::string("the archive unpacks to more than 512 MiB");
    const char* bytes = static_cast<const char*>(block);
    while (size > 0) {
      const ssize_t written = ::pwrite(fd, bytes, size, offset);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return systemError(errno);
      bytes += written;
      offset += written;
      size -= static_cast<std::size_t>(written);
    }
  }
}

std::optional<std::string> unpackFile(archive* reader, archive_entry* entry, const fs::path& file,
                                      std::uint64_t& unpacked) {
  if (!FileStore::ensureDirectory(file.parent_path(), 0755)) {
    return "cannot create the folder of " + file.string();
  }
  const mode_t mode = (archive_entry_perm(entry) & 0755) | 0600;
  Descriptor out{::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
  if (out.fd < 0) return "cannot write " + file.string() + ": " + systemError(errno);
  if (auto failed = copyData(reader, out.fd, unpacked)) return failed;
  if (::fsync(out.fd) != 0) return "cannot write " + file.string() + ": " + systemError(errno);
  return std::nullopt;
}

using MoveHook = std::function<void(const fs::path&, const fs::path&)>;

MoveHook& beforeMoveHook() {
  static MoveHook hook;
  return hook;
}

Result<void, std::string> move(const fs::path& from, const fs::path& to) {
  if (beforeMoveHook()) beforeMoveHook()(from, to);
  if (std::rename(from.c_str(), to.c_str()) == 0) return {};
  return fail(systemError(errno));
}

struct Moved {
  fs::path target;
  std::optional<fs::path> replaced;  // where the file it replaced waits
  bool installed = true;             // the new file went into place
};

// Puts one step back: the replaced file into its place, or the new file out of it.
Result<void, std::string> putBack(const Moved& step) {
  if (step.replaced) {
    auto moved = move(*step.replaced, step.target);
    if (moved) return {};
    return fail("could not put back " + step.target.string() + " (it waits in " +
                step.replaced->string() + "): " + moved.error());
  }
  if (!step.installed) return {};
  std::error_code error;
  fs::remove(step.target, error);
  if (!error) return {};
  return fail("could not remove the new " + step.target.string() + ": " + error.message());
}

// Undoes the steps, the last first, and stops the installation with `reason` and whatever could
// not be undone.
InstallFailure undo(std::vector<Moved> moved, std::string reason) {
  InstallFailure failure;
  failure.reason = std::move(reason);
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
    const auto undone = putBack(*it);
    if (undone) continue;
    failure.reason += "; " + undone.error();
    failure.notPutBack = failure.notPutBack || it->replaced.has_value();
  }
  return failure;
}

}  // namespace

Result<Unpacked, std::string> unpack(const std::string& bytes, const fs::path& staging) {
  if (!FileStore::ensureDirectory(staging.parent_path())) {
    return fail("cannot create " + staging.parent_path().string());
  }
  std::error_code error;
  if (!fs::create_directory(staging, error)) {
    return fail("cannot create " + staging.string() + ": " +
                (error ? error.message() : "it exists"));
  }
  Reader reader(archive_read_new(), archive_read_free);
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_format_tar(reader.get());
  if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
    return fail("not a .tar.gz archive: " + std::string(archive_error_string(reader.get())));
  }
  Unpacked result;
  std::uint64_t unpacked = 0;
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    auto name = safeName(archive_entry_pathname(entry));
    if (!name) return fail("refused " + name.error());
    const fs::path& relative = name.value();
    const auto type = archive_entry_filetype(entry);
    const bool link = archive_entry_hardlink(entry) != nullptr || type == AE_IFLNK;
    if (link || (type != AE_IFREG && type != AE_IFDIR)) {
      return fail("refused " + std::string(link ? "a link: " : "a special file: ") +
                  relative.string());
    }
    if (type == AE_IFDIR) {
      if (!relative.empty() && !FileStore::ensureDirectory(staging / relative, 0755)) {
        return fail("cannot create " + (staging / relative).string());
      }
      continue;
    }
    if (relative.empty() || *relative.begin() == relative) {
      return fail("refused a file where a folder belongs: " + relative.string());
    }
    if (auto failed = unpackFile(reader.get(), entry, staging / relative, unpacked)) {
      return fail(*failed);
    }
    result.files.push_back(relative);
    result.hasTray = result.hasTray || *relative.begin() == "tray";
  }
  if (status != ARCHIVE_EOF) {
    return fail("damaged archive: " + std::string(archive_error_string(reader.get())));
  }
  std::sort(result.files.begin(), result.files.end());
  return result;
}

Result<void, InstallFailure> install(const fs::path& staging, std::vector<fs::path> files,
                                     const fs::path& root, const std::optional<fs::path>& last) {
  if (last) {
    std::erase(files, *last);
    files.push_back(*last);
  }
  const fs::path replacedDir = staging / kReplacedFolder;
  std::vector<Moved> moved;
  for (const auto& file : files) {
    const fs::path target = root / file;
    if (!FileStore::ensureDirectory(target.parent_path(), 0755)) {
      return fail(undo(std::move(moved), "cannot create " + target.parent_path().string()));
    }
    Moved step{target, std::nullopt, true};
    std::error_code error;
    const auto existing = fs::symlink_status(target, error).type();
    // A folder in the way is not replaced: the move below then fails and everything goes back.
    if (existing == fs::file_type::regular || existing == fs::file_type::symlink) {
      const fs::path aside = replacedDir / file;
      // Without the folder the move below fails, and that failure puts everything back.
      static_cast<void>(FileStore::ensureDirectory(aside.parent_path()));
      if (auto failed = move(target, aside); !failed) {
        return fail(
            undo(std::move(moved), "cannot move " + target.string() + " aside: " + failed.error()));
      }
      step.replaced = aside;
    }
    if (auto failed = move(staging / file, target); !failed) {
      step.installed = false;
      moved.push_back(std::move(step));
      return fail(
          undo(std::move(moved), "cannot install " + target.string() + ": " + failed.error()));
    }
    moved.push_back(std::move(step));
  }
  return {};
}

void setBeforeMoveHook(std::function<void(const fs::path& from, const fs::path& to)> hook) {
  beforeMoveHook() = std::move(hook);
}

}  // namespace tvrn::UpdateArchive
