// Reading and writing the system's own files: folders are made 0700, files are written to a
// temporary file in the same folder, flushed to disk and renamed over the old one (0600 by
// default), so a crash never leaves a half-written file behind.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace tvrn::FileStore {

// Creates the folder and any missing parents with mode 0700. True when it exists afterwards.
bool ensureDirectory(const std::filesystem::path& dir, mode_t mode = 0700);

// Writes bytes atomically; the parent folder is created 0700 when missing. On failure the old
// file is untouched and the reason is put in *error when given.
bool writeAtomic(const std::filesystem::path& file, const std::string& bytes, mode_t mode = 0600,
                 std::string* error = nullptr);

// The file's whole contents, or nothing when it cannot be read.
std::optional<std::string> read(const std::filesystem::path& file);

}  // namespace tvrn::FileStore
