// The system's settings: one JSON object resolved afresh at every read from the system-wide,
// the user's and the override config.json, with the governance rules and the machine id. Only
// the user's file is ever written.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "platform/HardwareId.h"

namespace tvrn {

class ConfigManager final {
 public:
  // Keys in which a value in the system-wide file wins over the user's file.
  static const std::set<std::string>& governanceKeys();

  // The one store; its first use makes sure the user's file holds a machine id.
  static ConfigManager& shared();

  // The resolved settings; an empty object when no file yields anything.
  nlohmann::json load() const;

  // Merges the members of `updates` into the user's file; other keys stay as they are. False
  // when the file was not written.
  bool save(const nlohmann::json& updates) const;

  std::string getMachineId() const;
  std::set<std::string> disabledTools() const;
  std::set<std::string> disabledServices() const;
  bool readOnly() const;     // TVRN_READ_ONLY=1 forces it
  bool privacyMode() const;  // TVRN_PRIVACY_MODE=1 forces it

  const std::filesystem::path& configPath() const { return configPath_; }
  const std::filesystem::path& logPath() const { return logPath_; }
  const std::filesystem::path& auditLogPath() const { return auditLogPath_; }

  // The stored machine id (keychain), else one derived from the hardware id, else a random
  // UUID; a derived id is stored in the keychain so it outlives config.json.
  static std::string generateMachineId(
      const std::filesystem::path& machineIdFile = HardwareId::kMachineIdFile);

  // The user's file as an object (empty when missing or damaged), under the one lock that
  // guards it for this store and for Config. A file that is there but cannot be read gives what
  // it held when last read in this process, as do the other layers of load().
  static nlohmann::json readUserFile(const std::filesystem::path& file);

  // One read-change-write of the user's file under that same lock, so concurrent changes are
  // never lost. A damaged file is moved aside first, with one warning; a file that cannot be
  // read is left unchanged, with one warning. False when the file was not written.
  static bool updateUserFile(const std::filesystem::path& file,
                             const std::function<void(nlohmann::json&)>& change);

  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

 private:
  ConfigManager();
  void ensureMachineId() const;
  nlohmann::json resolve() const;

  static std::mutex& userFileLock();

  const std::filesystem::path configPath_;
  const std::filesystem::path logPath_;
  const std::filesystem::path auditLogPath_;
};

}  // namespace tvrn
