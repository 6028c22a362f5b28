// The system's settings: one JSON object resolved from the system-wide, the user's and the
// override config.json, with the governance rules and the machine id. The files are read again
// when the kernel reports a change to one of them (or the variables naming them change); until
// then a read takes no lock and looks at no file. Where changes cannot be watched, each file is
// checked with a stat at every read. Only the user's file is ever written.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/EnvironmentKey.h"
#include "platform/HardwareId.h"
#include "platform/WatchedValue.h"

namespace tvrn {

class ConfigManager final {
 public:
  // Keys in which a value in the system-wide file wins over the user's file.
  static const std::set<std::string>& governanceKeys();

  // Where one store's settings live: the system-wide file, the user's file (the only one ever
  // written) and, when given, a file laid over both.
  struct Locations {
    std::filesystem::path systemFile;
    std::filesystem::path userFile;
    std::optional<std::filesystem::path> overrideFile;
  };

  // The user's own store, over the files HOME, XDG_CONFIG_HOME, XDG_CONFIG_DIRS and TVRN_CONFIG
  // name at each read; its first use makes sure the user's file holds a machine id.
  static ConfigManager& shared();

  // A store over these files alone, whatever the environment names. Making it writes nothing;
  // its machine id is the one its files hold, else the machine's own (generateMachineId).
  explicit ConfigManager(Locations locations);

  // The settings in force at one moment, with what governance reads of them worked out once.
  struct Snapshot {
    nlohmann::json values = nlohmann::json::object();
    std::set<std::string> disabledTools;
    std::set<std::string> disabledServices;
    bool readOnlyFlag = false;
    bool privacyModeFlag = false;
    // A settings file that is there but cannot be used now, and why ("<file> does not parse
    // (...)"): `values` hold what it last held, which may no longer be what the user meant. Unset
    // while every file reads (a missing one counts as empty).
    std::optional<std::string> unreadable;

    bool readOnly() const;     // TVRN_READ_ONLY forces it (EnvironmentSwitch)
    bool privacyMode() const;  // TVRN_PRIVACY_MODE forces it (EnvironmentSwitch)
    bool has(std::string_view key) const { return values.contains(key); }
  };

  // The settings now: the same shared snapshot while no file changed. A change to a file made
  // before the call began (by an editor, a rename over it, a save) is always seen.
  std::shared_ptr<const Snapshot> snapshot() const;

  // The resolved settings; an empty object when no file yields anything.
  nlohmann::json load() const;

  // Merges the members of `updates` into the user's file; other keys stay as they are. False
  // when the file was not written.
  [[nodiscard]] bool save(const nlohmann::json& updates) const;

  std::string getMachineId() const;
  std::set<std::string> disabledTools() const;
  std::set<std::string> disabledServices() const;
  bool readOnly() const;     // TVRN_READ_ONLY forces it (EnvironmentSwitch)
  bool privacyMode() const;  // TVRN_PRIVACY_MODE forces it (EnvironmentSwitch)

  // The logs' names in the folder of the user's file.
  static constexpr const char* kLogName = "server.log";
  static constexpr const char* kAuditLogName = "audit.log";

  // The user's file and, beside it, the logs; for the user's own store worked out from the home
  // folder at each call, so they follow a change of HOME.
  std::filesystem::path configPath() const;
  std::filesystem::path logPath() const;
  std::filesystem::path auditLogPath() const;

  // The stored machine id (keychain), else one derived from the hardware id, else a random
  // UUID; a derived id is stored in the keychain so it outlives config.json.
  static std::string generateMachineId(
      const std::filesystem::path& machineIdFile = HardwareId::kMachineIdFile);

  // The user's file as an object (empty when missing), under the one lock that guards it for
  // this store and for Config. A file that is there but cannot be read or parsed gives what it
  // held when last read in this process, as do the other layers of load(); a file that stops
  // parsing is reported once as an error.
  static nlohmann::json readUserFile(const std::filesystem::path& file);

  // One read-change-write of the user's file under that same lock, so concurrent changes are
  // never lost. A file that cannot be read or does not parse is left exactly as it is, nothing
  // is written and the call returns false (one warning or error): nothing the user wrote is
  // lost. False also when the write fails.
  [[nodiscard]] static bool updateUserFile(const std::filesystem::path& file,
                                           const std::function<void(nlohmann::json&)>& change);

  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

 private:
  ConfigManager();
  // The files read now: the fixed ones, else those the environment names.
  Locations locations() const;
  void ensureMachineId() const;
  static void ensureMachineIdIn(const std::filesystem::path& file);
  // Watches the three files, then resolves them; under userFileLock().
  WatchedValue<Snapshot>::Made resolve(FileWatch& watch) const;

  static std::mutex& userFileLock();

  const std::optional<Locations> fixed_;  // unset for the user's own store
  mutable WatchedValue<Snapshot> settings_;
  // The last snapshot, the override file and the versions of the files it was resolved from;
  // guarded by userFileLock().
  mutable std::shared_ptr<const Snapshot> snapshot_;
  mutable std::string snapshotOverride_;
  mutable std::vector<std::uint64_t> snapshotLayers_;
  // The home folder's variables as they were when the machine id was last made sure of; the keys
  // published here are never freed (see ensureMachineId).
  mutable std::atomic<const EnvironmentKey*> ensuredFor_{nullptr};
};

}  // namespace tvrn
