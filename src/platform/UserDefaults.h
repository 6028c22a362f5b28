// Small typed settings of the server and the tray that are not part of config.json (language,
// seen AI clients, notification throttles, the install-event flag), kept in
// <app-support>/defaults.json. A value of another type than asked for reads as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tvrn::UserDefaults {

bool boolForKey(const std::string& key);  // false when absent
std::optional<std::string> stringForKey(const std::string& key);
std::int64_t integerForKey(const std::string& key);  // 0 when absent
double doubleForKey(const std::string& key);         // 0 when absent; an integer reads as itself
std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key);

// Each change is one read-change-write of the file under the store's lock; false when the
// file could not be written.
[[nodiscard]] bool setBool(const std::string& key, bool value);
[[nodiscard]] bool setString(const std::string& key, const std::string& value);
[[nodiscard]] bool setInteger(const std::string& key, std::int64_t value);
[[nodiscard]] bool setDouble(const std::string& key, double value);
[[nodiscard]] bool setStringArray(const std::string& key, const std::vector<std::string>& value);
[[nodiscard]] bool removeObject(const std::string& key);

}  // namespace tvrn::UserDefaults
