#include "platform/JsonObjectFile.h"

#include <string>
#include <system_error>

#include "platform/FileStore.h"

namespace tvrn::JsonObjectFile {
namespace {

bool pathExists(const std::filesystem::path& file) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(file, ec));
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
    result.movedAside = FileStore::moveAside(file);
    if (!result.movedAside) return result;
  }
  change(contents.object);
  result.written = write(file, contents.object);
  return result;
}

}  // namespace tvrn::JsonObjectFile
