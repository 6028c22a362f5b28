#include "tray/AutoRepair.h"

#include <charconv>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/Timestamp.h"
#include "core/Versions.h"
#include "server/BundledServer.h"
#include "status/AIClientCatalog.h"
#include "tray/ClientConfigEditor.h"
#include "tray/TrayHttp.h"

namespace tvrn {
namespace {

constexpr const char* kTrayVersionFile = "tray/.tray-version";
constexpr const char* kLatestVersionFile = "bin/.latest-version";

std::int64_t fileVersionNumber(const char* relative) {
  return AutoRepair::versionNumber(Versions::readVersionFile(relative).value_or("")).value_or(0);
}

const char* flag(bool value) { return value ? "true" : "false"; }

// The entry starts the system some other way than the bundled server: the package launcher, or
// a program of ours elsewhere (an older install's path).
bool isOutdated(const std::string& command, const std::string& bundled) {
  if (command == bundled) return false;
  return command == "npx" || command.find("/tavrin") != std::string::npos ||
         command.find("tvrn") != std::string::npos;
}

}  // namespace

std::optional<std::int64_t> AutoRepair::versionNumber(std::string_view text) {
  std::vector<std::int64_t> numbers;
  while (!text.empty()) {
    const auto dot = text.find('.');
    const auto piece = text.substr(0, dot);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (!piece.empty() && error == std::errc() && end == piece.data() + piece.size()) {
      numbers.push_back(value);
    }
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (numbers.size() < 2) return std::nullopt;
  return numbers[0] * 1'000'000 + numbers[1] * 1'000 + (numbers.size() > 2 ? numbers[2] : 0);
}

void AutoRepair::check(const std::string& serverVersion,
                       const std::optional<std::string>& startedAt, bool tccRegressed) {
  if (done_) return;
  if (startedAt) {
    if (const auto start = Timestamp::parseISO8601(*startedAt)) {
      const auto age = std::chrono::duration<double>(scheduler_.now() - *start);
      if (age < kCooldown) {
        // Said once per server start, not at every poll of its cool-down.
        if (cooldownNotedFor_ != *startedAt) {
          cooldownNotedFor_ = *startedAt;
          std::cout << "[TVRN tray] auto-repair skipped: server started "
                    << static_cast<long long>(age.count()) << "s ago (cooldown 300s)" << std::endl;
        }
        return;
      }
    }
  }
  const std::string tray = Versions::readVersionFile(kTrayVersionFile).value_or("");
  const std::string cached = Versions::readVersionFile(kLatestVersionFile).value_or("");
  const auto server = versionNumber(serverVersion);
  if (!server) return;
  const auto target =
      std::max(fileVersionNumber(kTrayVersionFile), fileVersionNumber(kLatestVersionFile));
  if (*server < target) {
    repair("[TVRN tray] auto-repair triggered: server=" + serverVersion + " tray=" + tray +
           " cachedLatest=" + cached + " tccRegressed=" + flag(tccRegressed));
  } else if (!fetchedLatest_) {
    fetchedLatest_ = true;
    fetchLatest(serverVersion, *server, tccRegressed);
  }
}

void AutoRepair::fetchLatest(const std::string& serverVersion, std::int64_t serverNumber,
                             bool tccRegressed) {
  TrayHttp::shared().get(
      TrayRoutes::runtimeLatest, context_,
      [this, serverVersion, serverNumber, tccRegressed](const TrayHttp::Reply& reply) {
        if (!reply.body) return;
        const auto body = nlohmann::json::parse(*reply.body, nullptr, false);
        if (!body.is_object() || !body.contains("version") || !body["version"].is_string()) return;
        const std::string latest = body["version"].get<std::string>();
        const auto latestNumber = versionNumber(latest);
        if (!latestNumber || serverNumber >= *latestNumber || done_) return;
        repair("[TVRN tray] auto-repair triggered via /runtime/latest: server=" + serverVersion +
               " latest=" + latest + " tccRegressed=" + flag(tccRegressed));
      });
}

void AutoRepair::repair(const std::string& line) {
  done_ = true;
  std::cout << line << std::endl;
  performRepair();
}

int AutoRepair::performRepair() {
  const std::string bundled = BundledServer::path().string();
  int rewritten = 0;
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::repair)) {
    auto config = ClientConfigEditor::load(client.def.cfgPath);
    if (!config) continue;
    const std::string key = ClientConfigEditor::serversKey(client.def);
    const auto servers = config->find(key);
    if (servers == config->end() || !servers->is_object()) continue;
    const auto entry = servers->find(ClientConfigEditor::kServerKey);
    if (entry == servers->end() || !entry->is_object()) continue;
    const auto command = entry->find("command");
    if (command == entry->end() || !command->is_string()) continue;
    if (!isOutdated(command->get<std::string>(), bundled)) continue;
    *entry = ClientConfigEditor::entry(client.def, bundled);
    if (ClientConfigEditor::save(client.def.cfgPath, *config)) ++rewritten;
  }
  return rewritten;
}

}  // namespace tvrn
