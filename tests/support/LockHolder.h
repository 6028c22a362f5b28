// Another process holding an exclusive file lock (flock) for a test, as a second running copy of
// the system would.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/Subprocess.h"

namespace tvrn::test {

// Starts a child that takes the lock on `file` (made when missing) and keeps it until it is
// terminated; returns once the lock is held, or nothing when that does not happen.
std::unique_ptr<Subprocess> holdLockInChild(const std::filesystem::path& file);

// Whether some process holds the lock on `file` now.
bool isLockedByAnother(const std::filesystem::path& file);

}  // namespace tvrn::test
