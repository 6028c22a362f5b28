#include "platform/CloudPlaceholderProbe.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/Subprocess.h"

namespace tvrn::CloudPlaceholderProbe {
namespace {

std::unique_ptr<Subprocess> startSyncClient(const std::filesystem::path& file) {
  const char* program = std::getenv(kSyncClientVariable);
  if (program == nullptr || *program == '\0') return nullptr;
  auto started = Subprocess::start({{program, "download", file.string()}});
  // A client that cannot be started is no reason to stop watching: the file may still arrive.
  return started ? std::move(started).value() : nullptr;
}

bool arrived(const std::filesystem::path& file) {
  const auto size = fileSize(file);
  return size && *size >= 1 && !hasMarker(file);
}

}  // namespace

bool hasMarker(const std::filesystem::path& file) {
  return ::getxattr(file.c_str(), kMarkerAttribute, nullptr, 0) >= 0;
}

std::optional<std::uintmax_t> fileSize(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uintmax_t>(info.st_size);
}

bool download(const std::filesystem::path& file, const PlaceholderPolling& polling) {
  const auto client = startSyncClient(file);
  bool done = false;
  for (int check = 0; check < polling.checks && !done; ++check) {
    std::this_thread::sleep_for(polling.interval);
    done = arrived(file);
  }
  if (client) client->terminate();
  return done;
}

}  // namespace tvrn::CloudPlaceholderProbe
