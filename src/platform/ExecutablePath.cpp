#include "platform/ExecutablePath.h"

#include <string>
#include <string_view>

namespace tvrn::ExecutablePath {

std::filesystem::path file() {
  std::error_code error;
  std::string target = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) return {};
  // A program replaced on disk while it runs (an update) is still in the same folder.
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) {
    target.resize(target.size() - kDeleted.size());
  }
  return target;
}

std::filesystem::path folder() { return file().parent_path(); }

}  // namespace tvrn::ExecutablePath
