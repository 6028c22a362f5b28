#include "platform/UserDefaults.h"

#include <mutex>

#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"

namespace tvrn::UserDefaults {
namespace {

// Serialises every read and read-change-write of defaults.json within the process.
std::mutex& fileLock() {
  static std::mutex lock;
  return lock;
}

std::filesystem::path storePath() { return Paths::appSupport() / "defaults.json"; }

nlohmann::json valueFor(const std::string& key) {
  std::lock_guard hold(fileLock());
  const nlohmann::json values = JsonObjectFile::read(storePath()).object;
  auto found = values.find(key);
  return found == values.end() ? nlohmann::json() : *found;
}

bool change(const std::function<void(nlohmann::json&)>& edit) {
  std::lock_guard hold(fileLock());
  return JsonObjectFile::writtenReportingRefusal(JsonObjectFile::update(storePath(), edit));
}

bool put(const std::string& key, nlohmann::json value) {
  return change([&](nlohmann::json& values) { values[key] = std::move(value); });
}

}  // namespace

bool boolForKey(const std::string& key) {
  const nlohmann::json value = valueFor(key);
  return value.is_boolean() && value.get<bool>();
}

std::optional<std::string> stringForKey(const std::string& key) {
  const nlohmann::json value = valueFor(key);
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

std::int64_t integerForKey(const std::string& key) {
  const nlohmann::json value = valueFor(key);
  return value.is_number_integer() ? value.get<std::int64_t>() : 0;
}

double doubleForKey(const std::string& key) {
  const nlohmann::json value = valueFor(key);
  return value.is_number() ? value.get<double>() : 0.0;
}

std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) {
  const nlohmann::json value = valueFor(key);
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> strings;
  for (const auto& element : value) {
    if (!element.is_string()) return std::nullopt;
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

bool setBool(const std::string& key, bool value) { return put(key, value); }

bool setString(const std::string& key, const std::string& value) { return put(key, value); }

bool setInteger(const std::string& key, std::int64_t value) { return put(key, value); }

bool setDouble(const std::string& key, double value) { return put(key, value); }

bool setStringArray(const std::string& key, const std::vector<std::string>& value) {
  return put(key, value);
}

bool removeObject(const std::string& key) {
  return change([&](nlohmann::json& values) { values.erase(key); });
}

}  // namespace tvrn::UserDefaults
