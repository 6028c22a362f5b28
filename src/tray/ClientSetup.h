// Setting AI clients up to start the system: the automatic pass over newly detected clients at
// start-up, the popover's one-client fix, and the install event each written client sends.
#pragma once

#include <QObject>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "status/AIClientCatalog.h"

namespace tvrn {
class AppDelegate;
class ConfigManager;
class TrayScheduler;
}  // namespace tvrn

namespace tvrn::ClientSetup {

inline constexpr const char* kSeenIdsKey = "clients_seen_ids";

// Writes the bundled server's entry into the file of each client detected now and not at the
// last run whose file does not yet mention the system, stores the detected ids in `settings`,
// and reports each written client ("tray-auto"). The names of the clients written, in table
// order; a file that could not be used or written is not among them.
std::vector<std::string> autoConfigure(const ConfigManager& settings, QObject* context);

// The start-up's pass: autoConfigure, the popover opened 0.3 s later whatever was written, and
// the notification naming the clients written.
void autoConfigureClientsIfNeeded(AppDelegate& delegate, const ConfigManager& settings,
                                  TrayScheduler& scheduler);

// One client by hand ("tray-fix"). False when its file could not be used or written; nothing is
// reported then.
bool fix(const AIClientCatalog::Client& client, const ConfigManager& settings, QObject* context);

// Posts "config_written" for the client, with the machine id `settings` hold, to the back end
// and forgets it.
void trackConfigWritten(const AIClientDef& client, const std::string& method,
                        const ConfigManager& settings, QObject* context);

// A row of the popover's AI-clients section.
struct Row {
  AIClientCatalog::Client client;
  bool configured = false;  // a local client whose file mentions the system
  bool connected = false;   // a cloud client while the relay is connected
};

// The detected clients in display order; `mentionsUs` tells whether a client's file starts the
// system.
std::vector<Row> rows(bool tunnelConnected,
                      const std::function<bool(const std::filesystem::path&)>& mentionsUs =
                          AIClientCatalog::mentionsUs);

}  // namespace tvrn::ClientSetup
