#include "core/Config.h"

#include "core/ConfigManager.h"

namespace tvrn {

std::filesystem::path Config::configURL() const { return settings_->configPath(); }

nlohmann::json Config::load() const { return ConfigManager::readUserFile(configURL()); }

bool Config::save(const nlohmann::json& settings) const {
  if (!settings.is_object()) return false;
  return ConfigManager::updateUserFile(configURL(), [&](nlohmann::json& user) { user = settings; });
}

bool Config::set(const std::string& key, const nlohmann::json& value) const {
  return ConfigManager::updateUserFile(configURL(),
                                       [&](nlohmann::json& user) { user[key] = value; });
}

std::optional<std::string> Config::apiKey() const { return value<std::string>("api_key"); }

bool Config::apiKeyEnabled() const { return !apiKey().value_or("").empty(); }

int Config::port() const { return value<int>("port").value_or(8765); }

std::string Config::networkMode() const {
  return value<std::string>("network_mode").value_or("localhost");
}

}  // namespace tvrn
