#include "platform/DefaultsStore.h"

#include <string>

#include "platform/Paths.h"
#include "platform/PlistReader.h"

namespace tvrn::DefaultsStore {
namespace {

nlohmann::json dictionaryIn(const std::filesystem::path& file) {
  auto value = PlistReader::readFile(file);
  if (!value || !value->is_object()) return nlohmann::json::object();
  return *std::move(value);
}

}  // namespace

nlohmann::json domain(std::string_view name) {
  // A name that could leave the preferences folder names no domain.
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
    return nlohmann::json::object();
  }
  return dictionaryIn(Paths::underHome("Library/Preferences/" + std::string(name) + ".plist"));
}

nlohmann::json bundleInfo(const std::filesystem::path& bundle) {
  return dictionaryIn(bundle / "Contents" / "Info.plist");
}

}  // namespace tvrn::DefaultsStore
