// Other applications' saved preferences, a domain at a time: the property list
// ~/Library/Preferences/<domain>.plist, and an application bundle's information dictionary.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>

namespace tvrn::DefaultsStore {

// The domain's entries as one object; empty when the file is missing, unreadable, not a property
// list, or holds something other than a dictionary.
nlohmann::json domain(std::string_view name);

// The bundle's Contents/Info.plist as an object, empty on the same terms.
nlohmann::json bundleInfo(const std::filesystem::path& bundle);

}  // namespace tvrn::DefaultsStore
