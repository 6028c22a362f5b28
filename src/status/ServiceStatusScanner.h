// The periodic look at the services the tools reach: which apps are installed or running, which
// permissions let their data be read, and a few names and counts. The status JSON, the state
// tool and the messaging tools read its last result.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "bridges/PlatformStores.h"
#include "core/ConfigManager.h"
#include "tools/common/AutomationBridges.h"

namespace tvrn {

class ServiceStatusScanner final {
 public:
  static constexpr std::chrono::seconds kInterval{60};

  // Leaves out the services `settings` turn off; `settings` must outlive the scanner. Start-up
  // builds one per start.
  explicit ServiceStatusScanner(const ConfigManager& settings);

  // Scans at once on a thread of its own, then every minute, until stop(), asking through
  // `with` and reading the permissions and address books of `stores`, which must outlive that
  // thread. In between, the services behind a permission are looked at again as soon as the
  // permission file changes (a prompt answered, another program's write), so a grant shows at
  // once. `changed`, when given, is called on that thread after each scan that changed what
  // current() gives, and after each change of the permission file, whose words the status
  // carries too. Does nothing while that thread runs.
  void start(AutomationBridges with, PlatformStores& stores, std::function<void()> changed = {});
  // Ends the thread and waits for it; a scan under way finishes first.
  void stop();

  // A copy of the last scan's entries, one per service key; the defaults before the first scan.
  nlohmann::json current() const;
  // Whether a scan has finished since start().
  bool hasScanned() const;

  // One scan on the caller's thread, asking the helper and the script runner of `with` and
  // reading the permissions and address books of `stores`, leaving out the services `settings`
  // turn off. It never asks for a permission: data behind one is read only when the permission
  // is already granted.
  static nlohmann::json scan(const AutomationBridges& with, PlatformStores& stores,
                             const ConfigManager& settings);

  // Every service unavailable, not running and empty.
  static nlohmann::json defaultEntries();

  ServiceStatusScanner(const ServiceStatusScanner&) = delete;
  ServiceStatusScanner& operator=(const ServiceStatusScanner&) = delete;

 private:
  void run(std::stop_token stop, AutomationBridges with, PlatformStores& stores,
           const std::function<void()>& changed);
  // Whether the entries differ from the ones they replace (always, the first time).
  bool replace(nlohmann::json entries);

  const ConfigManager& settings_;
  mutable std::mutex mutex_;  // guards current_ and scanned_
  nlohmann::json current_;
  bool scanned_ = false;
  std::mutex threadMutex_;  // guards thread_
  std::jthread thread_;     // last, so that it ends before the rest goes
};

}  // namespace tvrn
