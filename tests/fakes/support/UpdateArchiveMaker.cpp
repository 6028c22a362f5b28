#include "fakes/support/UpdateArchiveMaker.h"

#include <archive.h>
#include <archive_entry.h>

namespace tvrn::test {

std::string makeTarGz(const std::vector<ArchiveEntry>& entries) {
  std::string bytes(entries.size() * 4096 + 65536, '\0');
  std::size_t used = 0;
  archive* writer = archive_write_new();
  archive_write_set_format_pax_restricted(writer);
  archive_write_add_filter_gzip(writer);
  archive_write_open_memory(writer, bytes.data(), bytes.size(), &used);
  for (const auto& item : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, item.name.c_str());
    archive_entry_set_perm(entry, item.kind == ArchiveEntry::Kind::folder ? 0755 : item.mode);
    switch (item.kind) {
      case ArchiveEntry::Kind::file:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, static_cast<la_int64_t>(item.contents.size()));
        break;
      case ArchiveEntry::Kind::folder:
        archive_entry_set_filetype(entry, AE_IFDIR);
        break;
      case ArchiveEntry::Kind::symlink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink(entry, item.contents.c_str());
        break;
      case ArchiveEntry::Kind::hardlink:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_hardlink(entry, item.contents.c_str());
        break;
    }
    archive_write_header(writer, entry);
    if (item.kind == ArchiveEntry::Kind::file) {
      archive_write_data(writer, item.contents.data(), item.contents.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  bytes.resize(used);
  return bytes;
}

}  // namespace tvrn::test
