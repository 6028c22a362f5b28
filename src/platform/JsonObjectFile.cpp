#include "platform/JsonObjectFile.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

#include "platform/FileStore.h"

namespace tvrn::JsonObjectFile {
namespace {

bool pathExists(const std::filesystem::path& file) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(file, ec));
}

std::string utcStamp() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file) {
  const std::string base = file.string() + ".corrupt-" + utcStamp();
  std::filesystem::path target = base;
  for (int n = 2; pathExists(target); ++n) target = base + "-" + std::to_string(n);
  if (std::rename(file.c_str(), target.c_str()) != 0) return std::nullopt;
  return target;
}

}  // namespace

Contents read(const std::filesystem::path& file) {
  Contents contents;
  std::optional<std::string> bytes = FileStore::read(file);
  if (!bytes) {
    contents.damaged = pathExists(file);
    return contents;
  }
  nlohmann::json parsed = nlohmann::json::parse(*bytes, nullptr, false);
  if (parsed.is_object()) {
    contents.object = std::move(parsed);
  } else {
    contents.damaged = true;
  }
  return contents;
}

bool write(const std::filesystem::path& file, const nlohmann::json& object) {
  const std::string text =
      object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return FileStore::writeAtomic(file, text, 0600);
}

Update update(const std::filesystem::path& file,
              const std::function<void(nlohmann::json&)>& change) {
  Update result;
  Contents contents = read(file);
  result.damaged = contents.damaged;
  if (contents.damaged) {
    result.movedAside = moveAside(file);
    if (!result.movedAside) return result;
  }
  change(contents.object);
  result.written = write(file, contents.object);
  return result;
}

}  // namespace tvrn::JsonObjectFile
