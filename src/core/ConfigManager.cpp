#include "core/ConfigManager.h"

#include <cstdlib>
#include <map>
#include <optional>

#include "core/Logger.h"
#include "platform/FileStore.h"
#include "platform/JsonObjectFile.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

constexpr const char* kKeychainService = "com.tavrin.machine-id";
constexpr const char* kKeychainAccount = "machine-id";

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool environmentIsOne(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string_view(value) == "1";
}

std::set<std::string> stringSet(const nlohmann::json& settings, const char* key) {
  auto found = settings.find(key);
  if (found == settings.end() || !found->is_array()) return {};
  std::set<std::string> names;
  for (const auto& element : *found) {
    if (!element.is_string()) return {};
    names.insert(element.get<std::string>());
  }
  return names;
}

bool flag(const nlohmann::json& settings, const char* key) {
  auto found = settings.find(key);
  return found != settings.end() && found->is_boolean() && found->get<bool>();
}

bool hasMachineId(const nlohmann::json& settings) {
  auto found = settings.find("machine_id");
  return found != settings.end() && found->is_string() &&
         !found->get_ref<const std::string&>().empty();
}

// The object each config file held when it was last read in this process, so that a passing
// read failure (no descriptor left, an I/O error) does not quietly turn off read-only mode or
// disabled tools. Guarded by ConfigManager::userFileLock(); never destroyed, as the store is not.
std::map<std::filesystem::path, nlohmann::json>& lastRead() {
  static auto* objects = new std::map<std::filesystem::path, nlohmann::json>;
  return *objects;
}

// One layer of the settings; the caller holds the user file's lock. A file that is there but
// cannot be read stands for what it last held; missing and damaged files count as empty.
nlohmann::json readLayer(const std::filesystem::path& file) {
  JsonObjectFile::Contents contents = JsonObjectFile::read(file);
  if (contents.readError) {
    const auto found = lastRead().find(file);
    return found != lastRead().end() ? found->second : nlohmann::json::object();
  }
  lastRead()[file] = contents.object;
  return std::move(contents.object);
}

}  // namespace

const std::set<std::string>& ConfigManager::governanceKeys() {
  static const std::set<std::string> keys{"disabled_tools", "read_only"};
  return keys;
}

ConfigManager& ConfigManager::shared() {
  static ConfigManager instance;
  return instance;
}

ConfigManager::ConfigManager()
    : configPath_(Paths::appSupport() / "config.json"),
      logPath_(Paths::appSupport() / "server.log"),
      auditLogPath_(Paths::appSupport() / "audit.log") {
  FileStore::ensureDirectory(configPath_.parent_path());
  ensureMachineId();
}

void ConfigManager::ensureMachineId() const {
  if (hasMachineId(readUserFile(configPath_))) return;
  // Derived outside the lock: it reads the keychain and the hardware id.
  const std::string id = generateMachineId();
  updateUserFile(configPath_, [&](nlohmann::json& user) {
    if (!hasMachineId(user)) user["machine_id"] = id;
  });
}

std::string ConfigManager::generateMachineId(const std::filesystem::path& machineIdFile) {
  const std::string stored =
      trimmed(Keychain::readGenericPassword(kKeychainService, kKeychainAccount).value_or(""));
  if (!stored.empty()) return stored;
  std::optional<std::string> id = HardwareId::platformUUID(machineIdFile);
  if (!id) id = HardwareId::randomUUID();
  Keychain::writeGenericPassword(kKeychainService, kKeychainAccount, *id);
  return *id;
}

std::mutex& ConfigManager::userFileLock() {
  static std::mutex lock;
  return lock;
}

nlohmann::json ConfigManager::readUserFile(const std::filesystem::path& file) {
  std::lock_guard hold(userFileLock());
  return readLayer(file);
}

bool ConfigManager::updateUserFile(const std::filesystem::path& file,
                                   const std::function<void(nlohmann::json&)>& change) {
  JsonObjectFile::Update update;
  {
    std::lock_guard hold(userFileLock());
    nlohmann::json changed;
    update = JsonObjectFile::update(file, [&](nlohmann::json& user) {
      change(user);
      changed = user;
    });
    if (update.written) {
      // As written: invalid UTF-8 replaced, so the copy can always be printed again.
      lastRead()[file] = nlohmann::json::parse(
          changed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
  }
  const std::string name = file.filename().string();
  if (update.readError) {
    Logger::warn("config",
                 name + " could not be read (" + *update.readError + "); left it unchanged");
    return false;
  }
  if (!update.damaged) return update.written;
  if (update.movedAside) {
    Logger::warn("config", name + " could not be read as a JSON object; moved it aside to " +
                               update.movedAside->string());
  } else {
    Logger::warn("config", name +
                               " could not be read as a JSON object nor moved aside; left "
                               "it unchanged");
  }
  return update.written;
}

nlohmann::json ConfigManager::resolve() const {
  std::lock_guard hold(userFileLock());
  nlohmann::json result = readLayer(Paths::systemConfigDir() / "config.json");
  const nlohmann::json user = readLayer(configPath_);
  for (const auto& [key, value] : user.items()) {
    if (governanceKeys().count(key) != 0 && result.contains(key)) continue;
    result[key] = value;
  }
  if (const char* overridePath = std::getenv("TVRN_CONFIG"); overridePath != nullptr) {
    const nlohmann::json overrides = readLayer(overridePath);
    for (const auto& [key, value] : overrides.items()) result[key] = value;
  }
  return result;
}

nlohmann::json ConfigManager::load() const { return resolve(); }

bool ConfigManager::save(const nlohmann::json& updates) const {
  if (!updates.is_object()) return false;
  return updateUserFile(configPath_, [&](nlohmann::json& user) {
    for (const auto& [key, value] : updates.items()) user[key] = value;
  });
}

std::string ConfigManager::getMachineId() const {
  const nlohmann::json settings = resolve();
  auto found = settings.find("machine_id");
  return found != settings.end() && found->is_string() ? found->get<std::string>() : "";
}

std::set<std::string> ConfigManager::disabledTools() const {
  return stringSet(resolve(), "disabled_tools");
}

std::set<std::string> ConfigManager::disabledServices() const {
  return stringSet(resolve(), "disabled_services");
}

bool ConfigManager::readOnly() const {
  return environmentIsOne("TVRN_READ_ONLY") || flag(resolve(), "read_only");
}

bool ConfigManager::privacyMode() const {
  return environmentIsOne("TVRN_PRIVACY_MODE") || flag(resolve(), "privacy_mode");
}

}  // namespace tvrn
