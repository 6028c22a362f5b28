// The update archive (.tar.gz) between download and installation: unpacked into a staging folder
// with only plain files and folders under "bin/" and "tray/" let through, then moved into place
// one file at a time, so a failure part-way puts back everything it replaced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Why an installation stopped. `reason` names the move that failed and every file that could
// then not be put back; those (`notPutBack`) still wait under the staging folder's ".replaced",
// the only copy left of what they were, so the staging folder must be kept.
struct InstallFailure {
  std::string reason;
  bool notPutBack = false;
};

// Where an installation moves the files it replaced, under the staging folder.
inline constexpr const char* kReplacedFolder = ".replaced";

// Moves each staged file to the same place under `root`, `last` (relative, when given) after all
// others. When a move fails, every file already moved is put back as it was.
[[nodiscard]] Result<void, InstallFailure> install(
    const std::filesystem::path& staging, std::vector<std::filesystem::path> files,
    const std::filesystem::path& root, const std::optional<std::filesystem::path>& last);

// For tests: runs just before each move of an installation (into place, aside or back), so a
// test can play another program changing the folder at the worst moment.
void setBeforeMoveHook(
    std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)> hook);

}  // namespace tvrn::UpdateArchive
