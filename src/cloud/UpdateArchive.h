// The update archive (.tar.gz) between download and installation: unpacked into a staging folder
// with only plain files and folders under "bin/" and "tray/" let through, then moved into place
// one file at a time, so a failure part-way puts back everything it replaced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/Result.h"

namespace tvrn::UpdateArchive {

inline constexpr std::uint64_t kMaxUnpackedBytes = 512ull << 20;

struct Unpacked {
  std::vector<std::filesystem::path> files;  // relative to the staging folder, "bin/..." first
  bool hasTray = false;                      // some file lies under "tray/"
};

// Unpacks the archive into `staging`, which must not exist yet. Refuses (and names) an entry
// that is absolute, climbs with "..", lies outside "bin/" and "tray/", or is anything but a
// plain file or folder, and an archive that unpacks to more than 512 MiB.
Result<Unpacked, std::string> unpack(const std::string& archive,
                                     const std::filesystem::path& staging);

// Moves each staged file to the same place under `root`, `last` (relative, when given) after all
// others. When a move fails, every file already moved is put back as it was and the reason is
// returned; nothing when all went into place.
[[nodiscard]] std::optional<std::string> install(const std::filesystem::path& staging,
                                                 std::vector<std::filesystem::path> files,
                                                 const std::filesystem::path& root,
                                                 const std::optional<std::filesystem::path>& last);

}  // namespace tvrn::UpdateArchive
