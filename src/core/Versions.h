// Dotted version texts ("3.0.104") as the updater, the status JSON, the state tool and the tray
// compare them, and the small version files the updater and the heartbeat leave on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::Versions {

// The numeric components of a version: split at ".", empty pieces and pieces that are not a
// signed decimal integer dropped (not counted as 0).
std::vector<std::int64_t> components(std::string_view version);

// True when `a` is newer than `b`: components compared position by position, a missing one
// counting as 0; equal versions (two empty ones included) are not newer.
bool isNewer(std::string_view a, std::string_view b);

// The third component when there are at least three, else the last, else 0.
std::int64_t patchNumber(std::string_view version);

// A version file under ~/.local/share/tavrin ("bin/.server-version"), trimmed of white space;
// nothing when it is missing, unreadable or blank.
std::optional<std::string> readVersionFile(std::string_view relativePath);

}  // namespace tvrn::Versions
