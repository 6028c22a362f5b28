// A private folder for one call's files, removed with all it holds when it goes out of scope.
#pragma once

#include <filesystem>
#include <system_error>

#include "platform/HardwareId.h"
#include "platform/Paths.h"

namespace tvrn {

class ScratchFolder {
 public:
  ScratchFolder() : path_(Paths::tempDir() / HardwareId::randomUUID()) {
    std::error_code error;
    made_ = std::filesystem::create_directory(path_, error) && !error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool made() const { return made_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool made_ = false;
};

}  // namespace tvrn
