// Files of a cloud-synchronised folder that may be placeholders whose contents are not local
// yet: the placeholder marker, the file's size, and asking the sync client to download one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tvrn {

// How a download is waited for: `checks` looks at the file, `interval` apart.
struct PlaceholderPolling {
  std::chrono::milliseconds interval{500};
  int checks = 12;
};

namespace CloudPlaceholderProbe {

// The extended attribute the sync client leaves on a file whose contents are not local.
inline constexpr const char* kMarkerAttribute = "user.com.apple.fileprovider.ignore#P";
// Names the sync client's program; there is none by default on Linux, and then a download
// request starts nothing and the file is only watched.
inline constexpr const char* kSyncClientVariable = "TVRN_BRCTL";

// True when the marker is on the file (links followed).
bool hasMarker(const std::filesystem::path& file);

// The file's size, or nothing when it cannot be read.
std::optional<std::uintmax_t> fileSize(const std::filesystem::path& file);

// Asks the sync client to download the file and watches until the file holds bytes and carries
// no marker, or the checks run out; the client is ended either way. True when it arrived.
bool download(const std::filesystem::path& file, const PlaceholderPolling& polling = {});

}  // namespace CloudPlaceholderProbe
}  // namespace tvrn
