#include "tools/localapps/NordVPNTools.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/Timestamp.h"
#include "base/Utf8.h"
#include "bridges/JXARunner.h"
#include "core/Params.h"
#include "core/Timeouts.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/DefaultsStore.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/InstalledApps.h"
#include "platform/Paths.h"
#include "platform/RunningApps.h"
#include "tools/localapps/NordVPNTexts.h"

namespace tvrn::NordVPNTools {
namespace {

using nlohmann::json;
using ToolSchema::property;

constexpr const char* kAppName = "NordVPN";
constexpr const char* kBundleId = "com.nordvpn.NordVPN";
constexpr const char* kLogFolder =
    "Library/Group Containers/W5W395V82Y.group.com.nordvpn/Library/Caches/Logs";
constexpr std::size_t kLogTailCharacters = 4000;
// Snooze times past the last second of year 9999 cannot be written as a date.
constexpr double kLatestSnooze = 253402300799.0;

using Findings = std::map<std::string, std::string>;

// The app's state as its saved preferences describe it.
struct Snapshot {
  bool connected = false;
  bool autoConnect = false;
  std::optional<double> snoozedUntil;
  std::optional<std::string> lastLocation;
};

// An entry read as an integer: a stored boolean true reads as 1.
bool isOne(const json& defaults, const char* key) {
  const auto found = defaults.find(key);
  if (found == defaults.end()) return false;
  if (found->is_boolean()) return found->get<bool>();
  return found->is_number() && found->get<double>() == 1.0;
}

Snapshot snapshot() {
  const json defaults = DefaultsStore::domain(kBundleId);
  Snapshot state;
  state.connected = isOne(defaults, "isAppWasConnectedToVPN");
  state.autoConnect = isOne(defaults, "connectOnDemand");
  const auto snooze = defaults.find("vpnSnoozedUntil");
  if (snooze != defaults.end() && snooze->is_number() && !snooze->is_boolean()) {
    state.snoozedUntil = snooze->get<double>();
  }
  const auto location = defaults.find("lastMapLocation");
  if (location != defaults.end() && location->is_string())
    state.lastLocation = location->get<std::string>();
  return state;
}

std::optional<std::filesystem::path> appBundle() { return InstalledApps::find(kAppName); }

bool isNordVPNRunning() { return RunningApps::isRunning(kBundleId); }

std::optional<std::string> appVersion(const std::filesystem::path& bundle) {
  const json info = DefaultsStore::bundleInfo(bundle);
  const auto version = info.find("CFBundleShortVersionString");
  if (version == info.end() || !version->is_string()) return std::nullopt;
  return version->get<std::string>();
}

Result<std::string, ToolError> syncFetch(const std::string& url) {
  const auto timeout =
      std::chrono::milliseconds(static_cast<long long>(Timeouts::networkDefault * 1000));
  HttpResult result = HttpClient::get(url, timeout, {{"Accept", "application/json"}});
  if (!result.ok()) {
    if (result.error().kind == HttpError::Kind::unsupportedURL) {
      return fail(ToolError::executionFailed("Failed to build NordVPN API URL"));
    }
    return fail(ToolError::executionFailed("Network error: " + result.error().message));
  }
  if (result.value().status != 200) {
    return fail(ToolError::executionFailed("NordVPN API returned HTTP " +
                                           std::to_string(result.value().status)));
  }
  return std::move(result.value().body);
}

// The body as a list of objects; nothing for anything else.
std::optional<json> objectList(const std::string& body) {
  json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_array()) return std::nullopt;
  for (const auto& element : parsed) {
    if (!element.is_object()) return std::nullopt;
  }
  return parsed;
}

std::string stringMember(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

const json* objectMember(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_object() ? &*found : nullptr;
}

std::optional<std::int64_t> resolveCountryId(const std::string& country) {
  const std::string lowered = Utf8::lowercased(country);
  const std::string wanted(Utf8::trim(lowered, [](char32_t c) { return c == U' ' || c == U'\t'; }));
  auto body = syncFetch(Endpoints::vpnAPI() + "/v1/servers/countries");
  if (!body.ok()) return std::nullopt;
  const auto countries = objectList(body.value());
  if (!countries) return std::nullopt;
  for (const auto& entry : *countries) {
    const auto id = entry.find("id");
    const auto name = entry.find("name");
    if (id == entry.end() || !id->is_number_integer() || name == entry.end() ||
        !name->is_string()) {
      continue;
    }
    if (Utf8::lowercased(stringMember(entry, "code")) == wanted ||
        Utf8::lowercased(name->get<std::string>()) == wanted) {
      return id->get<std::int64_t>();
    }
  }
  return std::nullopt;
}

json serverObject(const json& server) {
  const auto load = server.find("load");
  json out = {
      {"name", stringMember(server, "name")},
      {"hostname", stringMember(server, "hostname")},
      {"load", load != server.end() && load->is_number_integer() ? load->get<std::int64_t>() : 0},
      {"status", stringMember(server, "status")}};
  const auto locations = server.find("locations");
  if (locations != server.end() && locations->is_array() && !locations->empty() &&
      locations->front().is_object()) {
    const json& location = locations->front();
    if (const json* country = objectMember(location, "country")) {
      out["country"] = stringMember(*country, "name");
      const json* city = objectMember(*country, "city");
      if (city == nullptr) city = objectMember(location, "city");
      if (city != nullptr) out["city"] = stringMember(*city, "name");
    }
  }
  const auto technologies = server.find("technologies");
  if (technologies != server.end() && technologies->is_array() &&
      std::all_of(technologies->begin(), technologies->end(),
                  [](const json& t) { return t.is_object(); })) {
    json names = json::array();
    for (const auto& technology : *technologies) {
      const auto name = technology.find("name");
      if (name != technology.end() && name->is_string()) names.push_back(*name);
    }
    out["technologies"] = std::move(names);
  }
  return out;
}

std::optional<std::string_view> groupOf(std::string_view type) {
  for (const auto& [name, group] : NordVPNTexts::kServerGroups) {
    if (name == type) return group;
  }
  return std::nullopt;
}

ToolResult nordvpnServers(const Params::Arguments& arguments) {
  const std::string country = Params::optional("country", arguments, "");
  std::string type = Params::optional("type", arguments, "");
  std::int64_t limit = Params::optionalInt("limit", arguments, 0);
  if (type.empty()) type = "standard";
  limit = limit == 0 ? 5 : std::clamp<std::int64_t>(limit, 1, 10);

  std::string url =
      Endpoints::vpnAPI() + "/v1/servers/recommendations?limit=" + std::to_string(limit);
  if (const auto group = groupOf(type)) {
    url += "&filters[servers_groups][identifier]=";
    url += *group;
  }
  if (!country.empty()) {
    const auto id = resolveCountryId(country);
    if (!id) return fail(ToolError::invalidParam("country", NordVPNTexts::kCountryExpectation));
    url += "&filters[country_id]=" + std::to_string(*id);
  }
  auto body = syncFetch(url);
  if (!body.ok()) return fail(body.error());
  const auto servers = objectList(body.value());
  if (!servers) return fail(ToolError::executionFailed("Invalid response from NordVPN API"));
  json mapped = json::array();
  for (const auto& server : *servers) mapped.push_back(serverObject(server));
  const auto count = mapped.size();
  return ToolResponse::json(anyToJSONValue(
      {{"servers", std::move(mapped)}, {"count", count}, {"note", NordVPNTexts::kServersNote}}));
}

ToolResult nordvpnStatus(const Params::Arguments&) {
  const auto bundle = appBundle();
  if (!bundle) return fail(ToolError::executionFailed(NordVPNTexts::kNotInstalledError));
  const Snapshot state = snapshot();
  json reply = {{"installed", true},
                {"connected", state.connected},
                {"auto_connect", state.autoConnect},
                {"app_running", isNordVPNRunning()}};
  if (state.snoozedUntil && *state.snoozedUntil > 0 && *state.snoozedUntil <= kLatestSnooze) {
    const auto when = std::chrono::system_clock::time_point(
        std::chrono::seconds(static_cast<long long>(*state.snoozedUntil)));
    reply["snoozed_until"] = Timestamp::iso8601UTC(when);
  }
  if (state.lastLocation) reply["last_location"] = *state.lastLocation;
  if (auto version = appVersion(*bundle)) reply["version"] = *std::move(version);
  return ToolResponse::json(anyToJSONValue(reply));
}

// The newest ".log" file of the app's log folder, by modification time; a file whose time cannot
// be read counts as the oldest, and ties keep the listing's order.
std::optional<std::filesystem::path> newestLog() {
  std::error_code error;
  std::filesystem::directory_iterator entries(Paths::underHome(kLogFolder), error);
  if (error) return std::nullopt;
  std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> logs;
  for (const auto& entry : entries) {
    if (entry.path().extension() != ".log") continue;
    std::error_code timeError;
    auto time = entry.last_write_time(timeError);
    if (timeError) time = std::filesystem::file_time_type::min();
    logs.emplace_back(time, entry.path());
  }
  if (logs.empty()) return std::nullopt;
  std::stable_sort(logs.begin(), logs.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  return logs.front().second;
}

// The text after the last occurrence of `marker`, up to the first of `ends` (or the end).
std::optional<std::string> afterLast(std::string_view text, std::string_view marker,
                                     std::string_view ends) {
  const auto at = text.rfind(marker);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find_first_of(ends)));
}

std::optional<Findings> parseLatestLog() {
  const auto log = newestLog();
  if (!log) return std::nullopt;
  const auto bytes = FileStore::read(*log);
  if (!bytes || !Utf8::isValid(*bytes)) return std::nullopt;
  const std::string tail = Utf8::lastCharacters(*bytes, kLogTailCharacters);
  const auto contains = [&tail](std::string_view what) {
    return tail.find(what) != std::string::npos;
  };
  Findings findings;
  if (contains("subscription has expired")) {
    findings["subscription"] = "expired";
  } else if (contains("user: false")) {
    findings["account"] = "not logged in";
  } else if (contains("user: true")) {
    findings["account"] = "logged in";
  }
  if (auto killSwitch = afterLast(tail, "Kill Switch status: ", "\n")) {
    findings["kill_switch"] = *std::move(killSwitch);
  }
  if (auto protocols = afterLast(tail, "supported protocols reset to: ", "\n]")) {
    findings["protocols"] = *std::move(protocols) + "]";
  }
  if (findings.empty()) return std::nullopt;
  return findings;
}

std::string yesNo(bool value) { return value ? "Yes" : "No"; }

std::string joinedLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

void addFindings(std::vector<std::string>& lines) {
  const auto findings = parseLatestLog();
  if (!findings) return;
  static constexpr std::pair<const char*, const char*> kLabels[] = {
      {"account", "**Account:** "},
      {"kill_switch", "**Kill switch:** "},
      {"protocols", "**Protocols:** "},
      {"subscription", "**Subscription:** "}};
  for (const auto& [key, label] : kLabels) {
    const auto found = findings->find(key);
    if (found != findings->end()) lines.push_back(label + found->second);
  }
}

ToolResult nordvpnDiagnose(const Params::Arguments&) {
  std::vector<std::string> lines{"## NordVPN Diagnostic Report", ""};
  const auto bundle = appBundle();
  lines.push_back("**Installed:** " + yesNo(bundle.has_value()));
  if (!bundle) {
    lines.push_back(NordVPNTexts::kDownloadHint);
    return ToolResponse::text(joinedLines(lines));
  }
  if (auto version = appVersion(*bundle)) lines.push_back("**Version:** " + *version);
  const bool running = isNordVPNRunning();
  const Snapshot state = snapshot();
  lines.push_back("**App running:** " + yesNo(running));
  lines.push_back("**VPN connected:** " + yesNo(state.connected));
  lines.push_back(std::string("**Auto-connect:** ") + (state.autoConnect ? "On" : "Off"));
  if (state.lastLocation) lines.push_back("**Last location:** " + *state.lastLocation);
  addFindings(lines);
  lines.push_back("");
  if (!running) lines.push_back(NordVPNTexts::kOpenAction);
  if (!state.connected) lines.push_back(NordVPNTexts::kConnectAction);
  lines.push_back("");
  lines.push_back(NordVPNTexts::kDiagnoseNote);
  return ToolResponse::text(joinedLines(lines));
}

json emptySchema() { return {{"type", "object"}, {"properties", json::object()}}; }

}  // namespace

void registerTools(ToolRegistry& registry) {
  ToolRegistry::ServiceScope scope(registry, "nordvpn");
  registry.registerTool({"nordvpn_status", NordVPNTexts::kStatusDescription, emptySchema(),
                         ToolKind::readOnly, nordvpnStatus});
  registry.registerTool({"nordvpn_servers",
                         NordVPNTexts::kServersDescription,
                         {{"type", "object"},
                          {"properties",
                           {{"country", property("string", NordVPNTexts::kCountryHelp)},
                            {"type", property("string", NordVPNTexts::kTypeHelp)},
                            {"limit", property("integer", NordVPNTexts::kLimitHelp)}}}},
                         ToolKind::readOnly,
                         nordvpnServers});
  registry.registerTool({"nordvpn_diagnose", NordVPNTexts::kDiagnoseDescription, emptySchema(),
                         ToolKind::readOnly, nordvpnDiagnose});
}

}  // namespace tvrn::NordVPNTools
