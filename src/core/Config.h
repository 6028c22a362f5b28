// Plain access to the user's own config.json of the settings it is handed (no system-wide or
// override file, no governance rule), with typed getters for the local API key, the port and the
// network mode. A view: it keeps nothing of its own, and `settings` must outlive it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace tvrn {

class ConfigManager;

class Config final {
 public:
  explicit Config(const ConfigManager& settings) : settings_(&settings) {}

  // The user's file as an object; empty when it is missing or not a JSON object.
  nlohmann::json load() const;

  // Replaces the file's whole content with `settings`.
  [[nodiscard]] bool save(const nlohmann::json& settings) const;  // false when nothing was written

  // The value under `key` when it has type T (bool, an integer type, double, std::string or
  // nlohmann::json for any value), else nothing.
  template <typename T>
  std::optional<T> value(const std::string& key) const;

  // Sets one key, keeping every other key; one read-change-write of the file.
  [[nodiscard]] bool set(const std::string& key, const nlohmann::json& value) const;  // likewise

  std::optional<std::string> apiKey() const;
  bool apiKeyEnabled() const;       // the key holds a non-empty string
  int port() const;                 // 8765 when absent or not an integer
  std::string networkMode() const;  // "localhost" when absent or not a string

  // The settings' user file (`ConfigManager::configPath`), which follows a change of HOME.
  std::filesystem::path configURL() const;

 private:
  const ConfigManager* settings_;
};

template <typename T>
std::optional<T> Config::value(const std::string& key) const {
  const nlohmann::json settings = load();
  auto found = settings.find(key);
  if (found == settings.end()) return std::nullopt;
  const nlohmann::json& value = *found;
  if constexpr (std::is_same_v<T, nlohmann::json>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (value.is_boolean()) return value.get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (value.is_string()) return value.get<std::string>();
  } else if constexpr (std::is_integral_v<T>) {
    if (value.is_number_unsigned()) {
      const auto number = value.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        return static_cast<T>(number);
      }
    } else if (value.is_number_integer()) {
      const auto number = value.get<std::int64_t>();
      if (std::in_range<T>(number)) return static_cast<T>(number);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    if (value.is_number()) return value.get<T>();
  } else {
    static_assert(std::is_same_v<T, void>, "Config::value reads JSON scalars only");
  }
  return std::nullopt;
}

}  // namespace tvrn
