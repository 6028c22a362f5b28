#include "core/ConfigManager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "core/EnvironmentSwitch.h"
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

// What the settings files must keep to be used: a key given twice leaves unknown which value was
// meant, and a switch that is not true or false ("true", 1) what it was meant to say.
const JsonObjectFile::Rules& settingsRules() {
  static const JsonObjectFile::Rules rules{.uniqueKeys = true,
                                           .switches = {"read_only", "privacy_mode"}};
  return rules;
}

// What the log says is in force while a settings file cannot be used.
constexpr const char* kWhileUnusable =
    "; until it reads, tools that write, delete or send are refused and personal data in answers "
    "is replaced by tokens, as in read-only and privacy mode, and the other settings stay as last "
    "read";

bool flag(const nlohmann::json& settings, const char* key) {
  auto found = settings.find(key);
  return found != settings.end() && found->is_boolean() && found->get<bool>();
}

bool hasMachineId(const nlohmann::json& settings) {
  auto found = settings.find("machine_id");
  return found != settings.end() && found->is_string() &&
         !found->get_ref<const std::string&>().empty();
}

// What a stat tells of a file, enough to see that it changed since it was read.
struct FileIdentity {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileIdentity& other) const {
    const auto same = [](const timespec& a, const timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return present == other.present && device == other.device && inode == other.inode &&
           size == other.size && same(modified, other.modified) && same(changed, other.changed);
  }
};

// A file's times come from a coarse clock, so a change made just after a read can leave them as
// they were. Only a file last changed this long before it was read can be trusted to look
// different after any later change; until then it is read again each time.
constexpr time_t kSettledSeconds = 2;

bool settled(const FileIdentity& identity) {
  if (!identity.present) return true;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - identity.modified.tv_sec > kSettledSeconds;
}

// One settings file as this process last read it. A file that is there but cannot be read or
// does not parse stands for what it last held, so that a passing read failure or a typo does
// not quietly turn off read-only mode or disabled tools.
struct Layer {
  FileIdentity identity;
  bool trusted = false;  // the identity stands for `object` (see settled)
  nlohmann::json object = nlohmann::json::object();
  std::optional<FileIdentity> damageReported;  // the damaged version already logged
  std::optional<std::string> refusalReported;  // the refusal already logged
  std::optional<std::string> unusable;         // why the file that is there cannot be used now
  // Changes whenever the file is read again or written, unique among every layer's, so a store
  // sees that another store (or Config) read a change it resolved nothing from yet.
  std::uint64_t version = 0;
};

// Guarded by ConfigManager::userFileLock().
std::uint64_t nextLayerVersion() {
  static std::uint64_t last = 0;
  return ++last;
}

// Guarded by ConfigManager::userFileLock(); never destroyed, as the store is not.
std::map<std::filesystem::path, Layer>& layers() {
  static auto* known = new std::map<std::filesystem::path, Layer>;
  return *known;
}

// How one resolution reads its layers.
struct LayerReading {
  // Read each file again even where its identity looks unchanged: a watch reported a change,
  // which a coarse clock may hide from the file's times.
  bool force = false;
  bool reread = false;   // set when a file was read again, whatever it held
  bool complete = true;  // cleared when a file that is there could not be read
};

// One layer of the settings; the caller holds the user file's lock.
const nlohmann::json& readLayer(const std::filesystem::path& file, LayerReading& reading) {
  Layer& layer = layers()[file];
  struct stat info {};
  FileIdentity identity;
  if (::stat(file.c_str(), &info) == 0) {
    identity = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  } else if (struct stat link{};
             (errno == ENOENT || errno == ENOTDIR) && ::lstat(file.c_str(), &link) == 0) {
    // A link that leads nowhere is no missing file: the user put something there. Its target,
    // perhaps in a folder no watch covers, is looked for at every read.
    layer.trusted = false;
    std::error_code unread;
    const auto target = std::filesystem::read_symlink(file, unread);
    layer.unusable = "is a link that leads nowhere (" + target.string() + ")";
    reading.complete = false;
    if (layer.refusalReported != layer.unusable) {
      layer.refusalReported = layer.unusable;
      Logger::error("config", file.string() + " " + *layer.unusable + kWhileUnusable);
    }
    return layer.object;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    layer.trusted = false;
    layer.unusable = std::string("cannot be looked at (") + std::strerror(errno) + ")";
    reading.complete = false;
    return layer.object;  // unknown for now: what it last held
  }
  if (!reading.force && layer.trusted && layer.identity == identity) return layer.object;

  // Looked at before reading: a change during the read shows as a new identity next time.
  reading.reread = true;
  layer.version = nextLayerVersion();
  layer.trusted = false;
  if (!identity.present) {
    layer.identity = identity;
    layer.trusted = true;
    layer.object = nlohmann::json::object();
    layer.unusable.reset();
    layer.refusalReported.reset();
    return layer.object;
  }
  if (!S_ISREG(info.st_mode)) {
    // Not opened: a named pipe would hold the read up until something writes into it.
    layer.unusable = "is not a regular file";
    reading.complete = false;
    return layer.object;
  }
  JsonObjectFile::Contents contents = JsonObjectFile::read(file, settingsRules());
  if (contents.refused) {
    // Another user's link or file would put that user's settings and tokens in force.
    layer.unusable = "cannot be read (" + *contents.refused + ")";
    reading.complete = false;
    if (layer.refusalReported != contents.refused) {
      layer.refusalReported = contents.refused;
      Logger::error("config", file.string() + " " + *layer.unusable + kWhileUnusable);
    }
    return layer.object;
  }
  layer.refusalReported.reset();
  if (contents.readError) {
    layer.unusable = "cannot be read (" + *contents.readError + ")";
    reading.complete = false;
    return layer.object;
  }
  layer.identity = identity;
  layer.trusted = settled(identity);
  if (contents.damaged) {
    layer.unusable =
        (contents.unclear ? "cannot be used (" : "does not parse (") + contents.parseError + ")";
    if (layer.damageReported != identity) {
      layer.damageReported = identity;
      Logger::error("config", file.string() + " " + *layer.unusable + kWhileUnusable +
                                  "; the file is left as it is");
    }
    return layer.object;
  }
  layer.damageReported.reset();
  layer.unusable.reset();
  layer.object = std::move(contents.object);
  return layer.object;
}

const nlohmann::json& readLayer(const std::filesystem::path& file) {
  LayerReading reading;
  return readLayer(file, reading);
}

// The variables the settings files are named from.
const std::vector<const char*> kSettingsVariables = {"HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS",
                                                     "TVRN_CONFIG"};
// The variables the user's file is named from.
const std::vector<const char*> kHomeVariables = {"HOME", "XDG_CONFIG_HOME"};

}  // namespace

const std::set<std::string>& ConfigManager::governanceKeys() {
  static const std::set<std::string> keys{"disabled_tools", "read_only"};
  return keys;
}

ConfigManager& ConfigManager::shared() {
  static ConfigManager instance;
  instance.ensureMachineId();
  return instance;
}

ConfigManager::ConfigManager()
    : settings_(kSettingsVariables, [this](FileWatch& watch) { return resolve(watch); }) {}

ConfigManager::ConfigManager(Locations locations)
    : fixed_(std::move(locations)),
      settings_({}, [this](FileWatch& watch) { return resolve(watch); }) {}

ConfigManager::Locations ConfigManager::locations() const {
  if (fixed_) return *fixed_;
  Locations named{Paths::systemConfigDir() / "config.json", configPath(), std::nullopt};
  if (const char* overridePath = std::getenv("TVRN_CONFIG");
      overridePath != nullptr && *overridePath != '\0') {
    named.overrideFile = overridePath;
  }
  return named;
}

std::filesystem::path ConfigManager::configPath() const {
  return fixed_ ? fixed_->userFile : Paths::appSupport() / "config.json";
}
std::filesystem::path ConfigManager::logPath() const {
  return configPath().parent_path() / kLogName;
}
std::filesystem::path ConfigManager::auditLogPath() const {
  return configPath().parent_path() / kAuditLogName;
}

void ConfigManager::ensureMachineId() const {
  // Every call asks, so a look that finds the same home folder as last time takes no lock.
  if (const EnvironmentKey* ensured = ensuredFor_.load(std::memory_order_acquire);
      ensured != nullptr && ensured->stillHolds()) {
    return;
  }
  // Once for each home folder it meets, held throughout, so no caller goes on before the id is
  // in the file.
  static std::mutex ensuring;
  static std::filesystem::path ensuredPath;  // guarded by ensuring
  // Guarded by ensuring; kept, so a reader of ensuredFor_ never meets a freed key.
  static auto& published = *new std::vector<std::unique_ptr<const EnvironmentKey>>;
  std::lock_guard hold(ensuring);
  auto key = std::make_unique<const EnvironmentKey>(kHomeVariables);  // before the path
  const auto file = configPath();
  if (ensuredPath != file) {
    ensuredPath = file;
    ensureMachineIdIn(file);
  }
  ensuredFor_.store(key.get(), std::memory_order_release);
  published.push_back(std::move(key));
}

void ConfigManager::ensureMachineIdIn(const std::filesystem::path& file) {
  // A folder that cannot be made shows as the first save's failure.
  static_cast<void>(FileStore::ensureDirectory(file.parent_path()));
  if (hasMachineId(readUserFile(file))) return;
  // Derived outside the lock: it reads the keychain and the hardware id.
  const std::string id = generateMachineId();
  // Unsaved, the same id is derived again (it is kept in the keychain) at the next read.
  static_cast<void>(updateUserFile(file, [&](nlohmann::json& user) {
    if (!hasMachineId(user)) user["machine_id"] = id;
  }));
}

std::string ConfigManager::generateMachineId(const std::filesystem::path& machineIdFile) {
  const std::string stored =
      trimmed(Keychain::readGenericPassword(kKeychainService, kKeychainAccount).value_or(""));
  if (!stored.empty()) return stored;
  std::optional<std::string> id = HardwareId::platformUUID(machineIdFile);
  if (!id) id = HardwareId::randomUUID();
  // The settings file keeps the id as well; the keychain's copy only outlives a lost file.
  static_cast<void>(Keychain::writeGenericPassword(kKeychainService, kKeychainAccount, *id));
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
    update = JsonObjectFile::update(
        file,
        [&](nlohmann::json& user) {
          change(user);
          changed = user;
        },
        JsonObjectFile::Damaged::keep, settingsRules());
    // A file that does not parse is reported once per version, by the read that finds it so.
    if (update.damaged) readLayer(file);
    if (update.written) {
      Layer& layer = layers()[file];
      // As written: invalid UTF-8 replaced, so the copy can always be printed again.
      layer.object = nlohmann::json::parse(
          changed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      layer.trusted = false;
      layer.version = nextLayerVersion();
    }
  }
  const std::string name = file.filename().string();
  if (update.readError) {
    Logger::warn("config",
                 name + " could not be read (" + *update.readError + "); left it unchanged");
  }
  if (update.refused) Logger::warn("config", name + " not written: " + *update.refused);
  return update.written;
}

std::shared_ptr<const ConfigManager::Snapshot> ConfigManager::snapshot() const {
  return settings_.get();
}

WatchedValue<ConfigManager::Snapshot>::Made ConfigManager::resolve(FileWatch& watch) const {
  std::lock_guard hold(userFileLock());
  const Locations named = locations();
  const std::string override = named.overrideFile ? named.overrideFile->string() : "";
  std::vector<std::filesystem::path> files{named.systemFile, named.userFile};
  if (!override.empty()) files.emplace_back(override);
  // Watched before they are read, so a change made while reading is reported too. While every
  // change is reported, each report has the files read again; otherwise their identities tell.
  LayerReading reading{.force = watch.watch(files)};
  reading.reread = override != snapshotOverride_ || !snapshot_;
  const nlohmann::json& system = readLayer(named.systemFile, reading);
  const nlohmann::json& user = readLayer(named.userFile, reading);
  const nlohmann::json* overrides = override.empty() ? nullptr : &readLayer(override, reading);
  const bool complete = reading.force && reading.complete;
  // A file another reader of it took in anew since this snapshot counts as read again here.
  std::vector<std::uint64_t> versions;
  std::optional<std::string> unreadable;
  for (const auto& file : files) {
    const Layer& layer = layers()[file];
    versions.push_back(layer.version);
    if (layer.unusable && !unreadable) unreadable = file.string() + " " + *layer.unusable;
  }
  if (versions != snapshotLayers_ || !snapshot_ || snapshot_->unreadable != unreadable) {
    reading.reread = true;
  }
  if (!reading.reread) return {snapshot_, complete};
  snapshotLayers_ = std::move(versions);

  auto next = std::make_shared<Snapshot>();
  nlohmann::json& values = next->values;
  values = system;
  for (const auto& [key, value] : user.items()) {
    if (governanceKeys().count(key) != 0 && values.contains(key)) continue;
    values[key] = value;
  }
  if (overrides != nullptr) {
    for (const auto& [key, value] : overrides->items()) values[key] = value;
  }
  snapshotOverride_ = override;
  // The same settings keep the same object, which the store's readers compare.
  if (snapshot_ && snapshot_->values == values && snapshot_->unreadable == unreadable) {
    return {snapshot_, complete};
  }
  next->unreadable = std::move(unreadable);
  next->disabledTools = stringSet(values, "disabled_tools");
  next->disabledServices = stringSet(values, "disabled_services");
  next->readOnlyFlag = flag(values, "read_only");
  next->privacyModeFlag = flag(values, "privacy_mode");
  snapshot_ = std::move(next);
  return {snapshot_, complete};
}

nlohmann::json ConfigManager::load() const { return snapshot()->values; }

bool ConfigManager::save(const nlohmann::json& updates) const {
  if (!updates.is_object()) return false;
  return updateUserFile(configPath(), [&](nlohmann::json& user) {
    for (const auto& [key, value] : updates.items()) user[key] = value;
  });
}

std::string ConfigManager::getMachineId() const {
  const auto settings = snapshot();
  auto found = settings->values.find("machine_id");
  // Absent when the user's file has never parsed in this process: the same id, from the keychain.
  if (found == settings->values.end()) return generateMachineId();
  return found->is_string() ? found->get<std::string>() : "";
}

std::set<std::string> ConfigManager::disabledTools() const { return snapshot()->disabledTools; }

std::set<std::string> ConfigManager::disabledServices() const {
  return snapshot()->disabledServices;
}

bool ConfigManager::readOnly() const { return snapshot()->readOnly(); }

bool ConfigManager::privacyMode() const { return snapshot()->privacyMode(); }

bool ConfigManager::Snapshot::readOnly() const {
  return EnvironmentSwitch::isOn("TVRN_READ_ONLY") || readOnlyFlag;
}

bool ConfigManager::Snapshot::privacyMode() const {
  return EnvironmentSwitch::isOn("TVRN_PRIVACY_MODE") || privacyModeFlag;
}

}  // namespace tvrn
