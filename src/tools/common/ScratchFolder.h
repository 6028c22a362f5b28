// A private folder for one call's files, removed with all it holds when it goes out of scope.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/HardwareId.h"
#include "platform/Paths.h"

namespace tvrn {

class ScratchFolder {
 public:
  // Made private at once: in a shared temporary folder nobody else may look in meanwhile.
  ScratchFolder() : path_(Paths::tempDir() / HardwareId::randomUUID()) {
    made_ = ::mkdir(path_.c_str(), 0700) == 0;
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
