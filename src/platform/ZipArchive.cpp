#include "platform/ZipArchive.h"

#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/FileStore.h"
#include "platform/RegularFile.h"

namespace tvrn::ZipArchive {
namespace {

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct SourceFreer {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
struct FileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;
using SourcePtr = std::unique_ptr<zip_source_t, SourceFreer>;

// Owns a zip_error_t for the length of one call and gives its text.
class ZipError {
 public:
  ZipError() { zip_error_init(&error_); }
  ~ZipError() { zip_error_fini(&error_); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
  zip_error_t* get() { return &error_; }
  std::string text() { return zip_error_strerror(&error_); }

 private:
  zip_error_t error_;
};

std::string archiveError(zip_t* archive) { return zip_error_strerror(zip_get_error(archive)); }

// The bytes a written in-memory source holds.
std::optional<std::string> bytesOf(zip_source_t* source) {
  zip_stat_t stat;
  if (zip_source_open(source) < 0) return std::nullopt;
  zip_stat_init(&stat);
  std::string bytes;
  bool ok = zip_source_stat(source, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) != 0;
  if (ok) {
    bytes.resize(stat.size);
    ok = zip_source_read(source, bytes.data(), stat.size) == static_cast<zip_int64_t>(stat.size);
  }
  zip_source_close(source);
  if (!ok) return std::nullopt;
  return bytes;
}

// A malloc'ed copy that libzip owns and frees: when it rewrites a memory buffer it may hand
// pieces of the old data to the new one and free them with free() later, so it must never be
// given memory of ours.
void* ownedCopy(std::string_view bytes) {
  void* copy = std::malloc(bytes.empty() ? 1 : bytes.size());
  if (copy != nullptr && !bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  return copy;
}

// Opens an archive over a writable memory buffer starting from `initial`, keeping the buffer
// alive past zip_close so its new contents can be read.
Result<std::pair<ArchivePtr, SourcePtr>, std::string> openInMemory(std::string_view initial,
                                                                   int flags) {
  ZipError error;
  void* data = initial.empty() ? nullptr : ownedCopy(initial);
  if (!initial.empty() && data == nullptr) return fail(std::string("out of memory"));
  zip_source_t* raw = zip_source_buffer_create(data, initial.size(), 1, error.get());
  if (raw == nullptr) {
    std::free(data);
    return fail(error.text());
  }
  zip_t* archive = zip_open_from_source(raw, flags, error.get());
  if (archive == nullptr) {
    zip_source_free(raw);
    return fail(error.text());
  }
  zip_source_keep(raw);
  return std::pair{ArchivePtr(archive), SourcePtr(raw)};
}

bool addMember(zip_t* archive, const Member& member) {
  void* copy = ownedCopy(member.bytes);
  if (copy == nullptr) return false;
  zip_source_t* data = zip_source_buffer(archive, copy, member.bytes.size(), 1);
  if (data == nullptr) {
    std::free(copy);
    return false;
  }
  if (zip_file_add(archive, member.name.c_str(), data, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
    zip_source_free(data);
    return false;
  }
  return true;
}

// Closes the archive into its memory buffer and gives the buffer's bytes.
Result<std::string, std::string> closedBytes(ArchivePtr archive, SourcePtr source) {
  if (zip_close(archive.get()) < 0) return fail(archiveError(archive.get()));
  archive.release();  // zip_close freed it
  auto bytes = bytesOf(source.get());
  if (!bytes) return fail(std::string("cannot read the new archive back"));
  return std::move(*bytes);
}

Result<bool, std::string> writeAtomic(const std::filesystem::path& target,
                                      const Result<std::string, std::string>& bytes, mode_t mode) {
  if (!bytes) return fail(bytes.error());
  std::string reason;
  if (!FileStore::writeAtomic(target, bytes.value(), mode, &reason)) return fail(reason);
  return true;
}

// The file a write replaces: the one a link names, so that the link stays.
std::filesystem::path writeTarget(const std::filesystem::path& archivePath) {
  std::error_code error;
  if (!std::filesystem::is_symlink(archivePath, error)) return archivePath;
  auto target = std::filesystem::canonical(archivePath, error);
  return error ? archivePath : target;
}

// Through RegularFile, so a pipe or a device in the archive's place is refused instead of
// blocking or streaming without end; the descriptor keeps its close-on-exec flag.
Result<ArchivePtr, std::string> openForReading(const RegularFile& file) {
  // A descriptor of its own, which the stream closes; reads seek first, so sharing the file's
  // position with the caller's descriptor is harmless.
  auto opened = file.duplicate();
  if (!opened) return fail(opened.error());
  FILE* stream = ::fdopen(opened.value().fd(), "rb");
  if (stream == nullptr) return fail(std::string(std::strerror(errno)));
  opened.value().release();
  ZipError error;
  zip_source_t* source = zip_source_filep_create(stream, 0, -1, error.get());
  if (source == nullptr) {
    std::fclose(stream);
    return fail(error.text());
  }
  ArchivePtr archive(zip_open_from_source(source, ZIP_RDONLY, error.get()));
  if (!archive) {
    zip_source_free(source);
    return fail(error.text());
  }
  return archive;
}

template <class Read>
auto withArchive(const std::filesystem::path& archivePath, const Read& read)
    -> decltype(read(std::declval<const RegularFile&>())) {
  auto opened = RegularFile::open(archivePath);
  if (!opened) return fail(opened.error());
  return read(opened.value());
}

Result<std::string, std::string> readIndex(zip_t* archive, zip_uint64_t index) {
  const char* name = zip_get_name(archive, index, 0);
  const std::string memberName = name == nullptr ? "" : name;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) < 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
    return fail(archiveError(archive));
  }
  if (stat.size > kMaxMemberBytes) return fail(memberName + " is too large");
  std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(archive, index, 0));
  if (!file) return fail(archiveError(archive));
  std::string bytes(stat.size, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const zip_int64_t n = zip_fread(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (n <= 0) return fail(std::string(zip_error_strerror(zip_file_get_error(file.get()))));
    filled += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace

Result<std::string, std::string> readMember(const RegularFile& file, std::string_view name) {
  auto archive = openForReading(file);
  if (!archive) return fail(archive.error());
  const std::string memberName(name);
  const zip_int64_t index = zip_name_locate(archive.value().get(), memberName.c_str(), 0);
  if (index < 0) return fail("no member " + memberName);
  return readIndex(archive.value().get(), static_cast<zip_uint64_t>(index));
}

Result<std::string, std::string> readMember(const std::filesystem::path& archivePath,
                                            std::string_view name) {
  return withArchive(archivePath, [&](const RegularFile& file) { return readMember(file, name); });
}

Result<bool, std::string> hasMember(const RegularFile& file, std::string_view name) {
  auto archive = openForReading(file);
  if (!archive) return fail(archive.error());
  return zip_name_locate(archive.value().get(), std::string(name).c_str(), 0) >= 0;
}

Result<bool, std::string> hasMember(const std::filesystem::path& archivePath,
                                    std::string_view name) {
  return withArchive(archivePath, [&](const RegularFile& file) { return hasMember(file, name); });
}

Result<bool, std::string> readMemberInBlocks(const RegularFile& archiveFile, std::string_view name,
                                             const std::function<bool(std::string_view)>& sink) {
  // Large enough that inflating, not calling, dominates; small enough to stay in cache.
  constexpr std::size_t kBlockBytes = 64 * 1024;
  auto archive = openForReading(archiveFile);
  if (!archive) return fail(archive.error());
  const std::string memberName(name);
  std::unique_ptr<zip_file_t, FileCloser> file(
      zip_fopen(archive.value().get(), memberName.c_str(), 0));
  if (!file) return fail(archiveError(archive.value().get()));
  std::vector<char> block(kBlockBytes);
  std::size_t inflated = 0;
  while (true) {
    const zip_int64_t n = zip_fread(file.get(), block.data(), block.size());
    if (n < 0) return fail(std::string(zip_error_strerror(zip_file_get_error(file.get()))));
    if (n == 0) return true;
    inflated += static_cast<std::size_t>(n);
    if (inflated > kMaxMemberBytes) return fail(memberName + " is too large");
    if (!sink(std::string_view(block.data(), static_cast<std::size_t>(n)))) return false;
  }
}

Result<bool, std::string> readMemberInBlocks(const std::filesystem::path& archivePath,
                                             std::string_view name,
                                             const std::function<bool(std::string_view)>& sink) {
  return withArchive(archivePath,
                     [&](const RegularFile& file) { return readMemberInBlocks(file, name, sink); });
}

Result<std::vector<Member>, std::string> readMembers(
    const RegularFile& file, const std::function<bool(std::string_view)>& wanted) {
  auto archive = openForReading(file);
  if (!archive) return fail(archive.error());
  zip_t* opened = archive.value().get();
  std::vector<Member> members;
  const zip_int64_t count = zip_get_num_entries(opened, 0);
  for (zip_int64_t index = 0; index < count; ++index) {
    const char* name = zip_get_name(opened, static_cast<zip_uint64_t>(index), 0);
    if (name == nullptr || !wanted(name)) continue;
    auto bytes = readIndex(opened, static_cast<zip_uint64_t>(index));
    if (!bytes) return fail(bytes.error());
    members.push_back({name, std::move(bytes).value()});
  }
  return members;
}

Result<std::vector<Member>, std::string> readMembers(
    const std::filesystem::path& archivePath, const std::function<bool(std::string_view)>& wanted) {
  return withArchive(archivePath,
                     [&](const RegularFile& file) { return readMembers(file, wanted); });
}

Result<std::string, std::string> archiveBytes(const std::vector<Member>& members) {
  auto opened = openInMemory({}, ZIP_TRUNCATE);
  if (!opened) return fail(opened.error());
  auto [archive, source] = std::move(opened).value();
  for (const Member& member : members) {
    if (!addMember(archive.get(), member)) return fail(archiveError(archive.get()));
  }
  return closedBytes(std::move(archive), std::move(source));
}

Result<std::string, std::string> withMemberReplaced(std::string_view original,
                                                    const Member& member) {
  auto opened = openInMemory(original, 0);
  if (!opened) return fail(opened.error());
  auto [archive, source] = std::move(opened).value();
  if (!addMember(archive.get(), member)) return fail(archiveError(archive.get()));
  return closedBytes(std::move(archive), std::move(source));
}

Result<bool, std::string> create(const std::filesystem::path& given,
                                 const std::vector<Member>& members) {
  const auto archivePath = writeTarget(given);
  struct stat info {};
  const mode_t mode = ::stat(archivePath.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
  return writeAtomic(archivePath, archiveBytes(members), mode);
}

Result<bool, std::string> replaceMember(const std::filesystem::path& given, const Member& member) {
  const auto archivePath = writeTarget(given);
  const auto original = RegularFile::read(archivePath);
  if (!original) return fail(original.error());
  struct stat info {};
  if (::stat(archivePath.c_str(), &info) != 0) return fail(std::string("cannot read the file"));
  return writeAtomic(archivePath, withMemberReplaced(original.value(), member),
                     info.st_mode & 07777);
}

}  // namespace tvrn::ZipArchive
