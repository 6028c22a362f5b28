#include "status/ServiceStatusScanner.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/CoProcessSupport.h"
#include "bridges/PlatformStores.h"
#include "bridges/TCCStatusChecker.h"
#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
#include "platform/FileWatch.h"
#include "platform/InstalledApps.h"
#include "platform/Paths.h"
#include "platform/RunningApps.h"
#include "tools/evernote/EvernoteAccount.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::string_view kMailAccountsScript = "return Application('Mail').accounts.name();";
constexpr std::string_view kNotesCountScript = "return {count: Application('Notes').notes.length};";
constexpr const char* kTeamsApps[] = {"MSTeams", "Microsoft Teams", "Microsoft Teams classic"};

// The strings of `list`, or of member `key` of each object in it.
json namesIn(const json& list, const char* key = nullptr) {
  json names = json::array();
  if (!list.is_array()) return names;
  for (const auto& item : list) {
    const json* name = &item;
    if (key != nullptr) {
      if (!item.is_object() || !item.contains(key)) continue;
      name = &item[key];
    }
    if (name->is_string()) names.push_back(*name);
  }
  return names;
}

json mailEntry(JXARunning& scripts) {
  const bool running = RunningApps::isRunning("com.apple.mail");
  json accounts = json::array();
  if (running) {
    auto result = scripts.run(kMailAccountsScript);
    if (result) accounts = namesIn(result.value());
  }
  return {{"running", running}, {"accounts", std::move(accounts)}};
}

json notesEntry(JXARunning& scripts) {
  const bool running = RunningApps::isRunning("com.apple.Notes");
  int count = 0;
  if (running) {
    auto result = scripts.run(kNotesCountScript);
    if (result && result.value().is_object()) {
      const auto found = result.value().find("count");
      if (found != result.value().end() && found->is_number_integer()) count = found->get<int>();
    }
  }
  return {{"running", running}, {"count", count}};
}

// Both the permission checker (which remembers grants) and the store itself must say granted:
// a remembered grant alone would let the data service ask for access again.
bool granted(const PermissionStatusMap& permissions, const std::string& key,
             AuthorizationStatus live) {
  const auto word = permissions.find(key);
  return word != permissions.end() && word->second == "granted" &&
         live == AuthorizationStatus::granted;
}

json helperNames(HelperProxy& helper, const char* method, const char* listKey,
                 const char* nameKey) {
  const auto result = helper.callDict(method);
  if (!result || !result->contains(listKey)) return json::array();
  return namesIn((*result)[listKey], nameKey);
}

json calendarEntry(HelperProxy& helper, const EventStore& events,
                   const PermissionStatusMap& permissions) {
  const bool running =
      granted(permissions, "calendar", events.authorizationStatus(EntityType::event));
  return {{"running", running},
          {"calendars", running ? helperNames(helper, "list_calendar_names", "calendars", "title")
                                : json::array()}};
}

json remindersEntry(HelperProxy& helper, const EventStore& events,
                    const PermissionStatusMap& permissions) {
  const bool running =
      granted(permissions, "reminders", events.authorizationStatus(EntityType::reminder));
  return {{"running", running},
          {"lists",
           running ? helperNames(helper, "list_reminder_lists", "lists", "name") : json::array()}};
}

// The helper has no method for address books, so they are read from the contact store, under
// the same rule.
json contactsEntry(const ContactStore& contacts, const PermissionStatusMap& permissions) {
  const bool running = granted(permissions, "contacts", contacts.authorizationStatus());
  json sources = json::array();
  if (running) {
    for (const auto& container : contacts.data().containers()) {
      sources.push_back(container.name);
    }
  }
  return {{"running", running}, {"sources", std::move(sources)}};
}

json runningEntry(std::string_view bundleId) {
  return {{"running", RunningApps::isRunning(bundleId)}};
}

// There is no OmniFocus for Linux to ask for its projects.
json omniFocusEntry() {
  const bool running = RunningApps::isRunning("com.omnigroup.OmniFocus4") ||
                       RunningApps::isRunning("com.omnigroup.OmniFocus3");
  return {{"running", running}, {"projects", 0}, {"inbox", 0}};
}

json teamsEntry() {
  const bool available =
      std::any_of(std::begin(kTeamsApps), std::end(kTeamsApps),
                  [](const char* app) { return InstalledApps::isInstalled(app); });
  return {{"available", available},
          {"running", false},
          {"conversations", 0},
          {"tenants", available ? 1 : 0}};
}

json oneDriveFolders() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(Paths::underHome("Library/CloudStorage"), error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("OneDrive") && entry.is_directory(error)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

json slackEntry() {
  const bool available = InstalledApps::isInstalled("Slack");
  return {{"available", available}, {"has_local_data", available}};
}

// Available only where a call would run it: a wacli another user could replace is refused then.
json whatsAppEntry() {
  std::error_code error;
  return {{"available", CoProcessSupport::runnableWacli().ok()},
          {"authenticated", std::filesystem::exists(Paths::underHome(".wacli/wacli.db"), error)}};
}

json m365Entry(const json& settings) {
  const auto text = [&settings](const char* key) {
    const auto found = settings.find(key);
    return found != settings.end() && found->is_string() ? found->get<std::string>()
                                                         : std::string();
  };
  json entry = {{"connected", !text("m365_access_token").empty()}};
  if (const std::string email = text("m365_account_email"); !email.empty()) entry["email"] = email;
  return entry;
}

// The Evernote family is not offered to clients, yet an account signed in earlier still shows.
json evernoteEntry(const ConfigManager& settings) {
  const EvernoteTools::AccountState account = EvernoteTools::accountState(settings);
  json entry = {{"connected", account.connected}};
  if (!account.email.empty()) entry["email"] = account.email;
  return entry;
}

json disabledEntry(const std::string& key) {
  if (key == "slack") {
    return {{"available", false}, {"has_local_data", false}, {"disabled_by_user", true}};
  }
  if (key == "whatsapp") {
    return {{"available", false}, {"authenticated", false}, {"disabled_by_user", true}};
  }
  json entry = {{"running", false}, {"disabled_by_user", true}};
  if (key == "teams") {
    entry["available"] = false;
    entry["conversations"] = 0;
    entry["tenants"] = 0;
  }
  return entry;
}

// Fills in the entry of each service from its probe, or as switched off when the settings, as they
// were when it was made, say so.
class Prober {
 public:
  explicit Prober(const ConfigManager& settings) : settings_(settings.snapshot()) {}

  bool disabled(const char* key) const { return settings_->disabledServices.contains(key); }
  const json& values() const { return settings_->values; }

  template <typename Probe>
  void probe(json& entries, const char* key, Probe&& entry) const {
    entries[key] = disabled(key) ? disabledEntry(key) : json(entry());
  }

 private:
  std::shared_ptr<const ConfigManager::Snapshot> settings_;
};

// The services behind a permission. The permissions are asked once, and only when one of these
// services is enabled.
void probePermissionServices(json& entries, const Prober& prober, const AutomationBridges& with,
                             PlatformStores& stores) {
  PermissionStatusMap permissions;
  if (!prober.disabled("calendar") || !prober.disabled("reminders") ||
      !prober.disabled("contacts")) {
    permissions = TCCStatusChecker::currentStatus(with.helper, stores.gate);
  }
  prober.probe(entries, "calendar",
               [&] { return calendarEntry(with.helper, stores.events, permissions); });
  prober.probe(entries, "contacts", [&] { return contactsEntry(stores.contacts, permissions); });
  prober.probe(entries, "reminders",
               [&] { return remindersEntry(with.helper, stores.events, permissions); });
}

}  // namespace

ServiceStatusScanner::ServiceStatusScanner(const ConfigManager& settings)
    : settings_(settings), current_(defaultEntries()) {}

json ServiceStatusScanner::defaultEntries() {
  const json notRunning = {{"running", false}};
  return {
      {"email", {{"running", false}, {"accounts", json::array()}}},
      {"calendar", {{"running", false}, {"calendars", json::array()}}},
      {"contacts", {{"running", false}, {"sources", json::array()}}},
      {"reminders", {{"running", false}, {"lists", json::array()}}},
      {"notes", {{"running", false}, {"count", 0}}},
      {"messages", notRunning},
      {"finder", notRunning},
      {"safari", notRunning},
      {"omnifocus", {{"running", false}, {"projects", 0}, {"inbox", 0}}},
      {"teams", {{"available", false}, {"running", false}, {"conversations", 0}, {"tenants", 0}}},
      {"onedrive", json::array()},
      {"slack", {{"available", false}, {"has_local_data", false}}},
      {"nordvpn", {{"installed", false}}},
      {"whatsapp", {{"available", false}, {"authenticated", false}}},
      {"m365", {{"connected", false}}},
      {"evernote", {{"connected", false}}},
  };
}

json ServiceStatusScanner::scan(const AutomationBridges& with, PlatformStores& stores,
                                const ConfigManager& from) {
  const Prober prober(from);
  json entries = json::object();
  prober.probe(entries, "email", [&] { return mailEntry(with.scripts); });
  probePermissionServices(entries, prober, with, stores);
  prober.probe(entries, "notes", [&] { return notesEntry(with.scripts); });
  prober.probe(entries, "messages", [] { return runningEntry("com.apple.MobileSMS"); });
  prober.probe(entries, "finder", [] { return runningEntry("com.apple.finder"); });
  prober.probe(entries, "safari", [] { return runningEntry("com.apple.Safari"); });
  prober.probe(entries, "omnifocus", omniFocusEntry);
  prober.probe(entries, "teams", teamsEntry);
  prober.probe(entries, "onedrive", oneDriveFolders);
  prober.probe(entries, "slack", slackEntry);
  prober.probe(entries, "nordvpn", [] {
    return json{{"installed", InstalledApps::isInstalled("NordVPN")}};
  });
  prober.probe(entries, "whatsapp", whatsAppEntry);
  prober.probe(entries, "m365", [&] { return m365Entry(prober.values()); });
  prober.probe(entries, "evernote", [&] { return evernoteEntry(from); });
  return entries;
}

void ServiceStatusScanner::start(AutomationBridges with, PlatformStores& stores,
                                 std::function<void()> changed) {
  std::lock_guard lock(threadMutex_);
  if (thread_.joinable()) return;
  thread_ = std::jthread([this, with, &stores, changed = std::move(changed)](std::stop_token stop) {
    run(stop, with, stores, changed);
  });
}

void ServiceStatusScanner::stop() {
  std::lock_guard lock(threadMutex_);
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

json ServiceStatusScanner::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

bool ServiceStatusScanner::hasScanned() const {
  std::lock_guard lock(mutex_);
  return scanned_;
}

bool ServiceStatusScanner::replace(json entries) {
  std::lock_guard lock(mutex_);
  const bool changed = !scanned_ || entries != current_;
  current_ = std::move(entries);
  scanned_ = true;
  return changed;
}

void ServiceStatusScanner::run(std::stop_token stop, AutomationBridges with, PlatformStores& stores,
                               const std::function<void()>& changed) {
  FileWatch permissions;
  while (!stop.stop_requested()) {
    // Named before the scan reads the file, so that a change made during the scan is seen after.
    permissions.watch({PrivacyGate::file()});
    if (replace(scan(with, stores, settings_)) && changed) changed();
    const auto next = std::chrono::steady_clock::now() + kInterval;
    while (permissions.waitFor(next, stop)) {
      if (!permissions.drain()) continue;  // another file of the folder
      // A file replaced by a rename is watched anew.
      permissions.watch({PrivacyGate::file()});
      json entries = current();
      probePermissionServices(entries, Prober(settings_), with, stores);
      replace(std::move(entries));
      if (changed) changed();
    }
  }
}

}  // namespace tvrn
