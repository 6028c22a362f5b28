// The tray's picture of the running server: the status document of /status and status.json, and
// the list of cloud approvals waiting for the user, as strictly typed records.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

namespace tvrn {

using TextList = std::vector<std::string>;

struct ServiceSimple {
  bool running = false;
};

struct ServiceEmail {
  bool running = false;
  TextList accounts;
};

struct ServiceCalendar {
  bool running = false;
  TextList calendars;
};

struct ServiceContacts {
  bool running = false;
  TextList sources;
};

struct ServiceReminders {
  bool running = false;
  std::optional<TextList> lists;
};

struct ServiceNotes {
  bool running = false;
  std::optional<std::int64_t> count;
};

struct ServiceOmniFocus {
  bool running = false;
  std::optional<bool> installed;
  std::int64_t projects = 0;
  std::int64_t inbox = 0;
};

struct ServiceNordVPN {
  bool installed = false;
  std::optional<bool> connected;
  std::optional<bool> autoConnect;
  std::optional<std::string> version;
};

struct ServiceSlack {
  bool available = false;
  std::optional<bool> hasLocalData;
};

struct ServiceWhatsApp {
  bool available = false;
  bool authenticated = false;
};

struct ServiceM365 {
  bool connected = false;
  std::optional<std::string> email;
};

// Read field by field: a field that is missing or of another type keeps its default.
struct ServiceTeams {
  bool available = false;
  bool running = false;
  std::int64_t conversations = 0;
  std::optional<TextList> tenants;
};

// Each member is read on its own; one the tray cannot read is left out, the others stay.
struct Services {
  std::optional<ServiceEmail> email;
  std::optional<ServiceCalendar> calendar;
  std::optional<ServiceContacts> contacts;
  std::optional<TextList> onedrive;
  std::optional<ServiceTeams> teams;
  std::optional<ServiceReminders> reminders;
  std::optional<ServiceNotes> notes;
  std::optional<ServiceSimple> messages;
  std::optional<ServiceSimple> finder;
  std::optional<ServiceSimple> safari;
  std::optional<ServiceOmniFocus> omnifocus;
  std::optional<ServiceNordVPN> nordvpn;
  std::optional<ServiceSlack> slack;
  std::optional<ServiceWhatsApp> whatsapp;
  std::optional<ServiceM365> m365;
};

struct SecurityInfo {
  bool apiKeyEnabled = false;
  std::string networkMode;
};

struct UpdateInfo {
  std::optional<std::string> version;
  std::optional<std::string> downloadUrl;
  std::optional<std::string> notes;
  std::optional<std::int64_t> versionsBehind;
};

struct ServiceErrorEntry {
  std::string error;
  std::optional<std::string> function;
  std::optional<std::string> suggestion;
  std::optional<double> ts;
};

struct LastActivity {
  std::string at;
  std::string source;
  std::string tool;
  std::int64_t agoS = 0;

  // Two entries with the same time and tool are one entry to a list.
  std::string id() const { return at + "-" + tool; }
};

struct ServerStatus {
  std::string server;
  std::string version;
  std::string url;
  std::int64_t port = 0;
  Services services;
  SecurityInfo security;
  std::optional<UpdateInfo> update;
  std::optional<bool> autoUpdate;
  std::optional<std::string> cloudToken;
  std::optional<bool> cloudDataEnabled;
  std::optional<bool> tunnelConnected;
  std::optional<std::string> pushMessage;
  std::optional<std::string> pendingRestartVersion;
  std::optional<std::map<std::string, ServiceErrorEntry>> serviceErrors;
  std::optional<std::map<std::string, std::string>> permissions;
  std::optional<LastActivity> lastActivity;
  std::optional<std::vector<LastActivity>> recentActivity;
  std::optional<std::string> hostname;
  std::optional<std::string> machineId;
  std::optional<std::string> aiClientHealth;
  std::optional<std::string> startedAt;
  std::optional<std::string> firstToolCallAt;
  std::optional<TextList> disabledServices;
};

// A cloud AI client's sign-in that waits for the user's approval in the tray.
struct PendingApproval {
  std::string requestId;
  std::string clientName;
  std::string clientId;
  std::string redirectUri;
  double expiresAt = 0;

  const std::string& id() const { return requestId; }

  bool operator==(const PendingApproval&) const = default;
};

struct PendingApprovalsResponse {
  std::vector<PendingApproval> requests;
};

// Decoding is strict: a required member missing or null, or any member of another JSON type (a
// number for a Bool, 4.0 for an integer, an integer beyond 64 bits), fails the whole document
// with the failing key named; only inside "services" does a faulty member drop alone. Absent
// optional members stay absent, never false, zero or empty.
Result<ServerStatus, std::string> decodeServerStatus(const nlohmann::json& document);
// The same from the bytes of a reply or file.
Result<ServerStatus, std::string> parseServerStatus(std::string_view bytes);
Result<PendingApprovalsResponse, std::string> decodePendingApprovals(
    const nlohmann::json& document);
Result<PendingApprovalsResponse, std::string> parsePendingApprovals(std::string_view bytes);

}  // namespace tvrn
