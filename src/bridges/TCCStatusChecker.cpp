#include "bridges/TCCStatusChecker.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>

#include "bridges/HelperProxy.h"
#include "bridges/LocalDataReply.h"
#include "core/Logger.h"
#include "pim/PrivacyGate.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"

namespace tvrn::TCCStatusChecker {
namespace {

using nlohmann::json;
using Cache = std::map<std::string, std::string>;

constexpr std::string_view kCategory = "tcc";
constexpr const char* kServices[] = {"calendar", "reminders", "contacts"};
constexpr double kHelperTimeoutSeconds = 2.0;

std::filesystem::path cacheFile() { return Paths::appSupport() / "tcc-cache.json"; }

// Empty for a missing or unreadable file, text that is not a JSON object, or any member that is
// not text.
Cache loadCache() {
  const auto text = FileStore::read(cacheFile());
  if (!text) return {};
  const json parsed = json::parse(*text, nullptr, false);
  if (!parsed.is_object()) return {};
  Cache cache;
  for (const auto& [key, value] : parsed.items()) {
    if (!value.is_string()) return {};
    cache[key] = value.get<std::string>();
  }
  return cache;
}

// A failed write is left for the next call, which tries again while the cache still differs.
void saveCache(const Cache& cache) {
  static_cast<void>(FileStore::writeAtomic(cacheFile(), json(cache).dump()));
}

// The helper and the data service say "authorized" where this checker says "granted".
std::string checkerWord(std::string word) { return word == "authorized" ? "granted" : word; }

std::string helperWord(const json& result, const char* service) {
  const auto value = result.find(service);
  if (value == result.end() || !value->is_string()) return "notDetermined";
  return checkerWord(value->get<std::string>());
}

std::string platformWord(AuthorizationStatus status, bool writeOnlyExists) {
  if (status == AuthorizationStatus::writeOnly && !writeOnlyExists) return "unknown";
  return checkerWord(LocalData::tccStatusString(status));
}

PermissionStatusMap platformStatus(const PrivacyGate& gate) {
  PermissionStatusMap status;
  // Only calendars know a write-only grant.
  status["calendar"] = platformWord(gate.status(PrivacyEntity::calendar), true);
  status["reminders"] = platformWord(gate.status(PrivacyEntity::reminders), false);
  status["contacts"] = platformWord(gate.status(PrivacyEntity::contacts), false);
  return status;
}

PermissionStatusMap liveStatus(HelperProxy& helper, const PrivacyGate& gate) {
  const auto fromHelper = helper.callDict("get_tcc_status", json::object(), kHelperTimeoutSeconds);
  if (!fromHelper) return platformStatus(gate);
  PermissionStatusMap status;
  for (const char* service : kServices) status[service] = helperWord(*fromHelper, service);
  return status;
}

bool cachedAsGranted(const Cache& cache, const std::string& service) {
  const auto entry = cache.find(service);
  return entry != cache.end() && entry->second == "granted";
}

}  // namespace

PermissionStatusMap currentStatus(HelperProxy& helper, const PrivacyGate& gate) {
  PermissionStatusMap status = liveStatus(helper, gate);
  const Cache cache = loadCache();
  Cache updated = cache;
  for (const char* service : kServices) {
    std::string& word = status[service];
    // Only an undecided answer is overridden; a live refusal always wins over the cache.
    if (word == "notDetermined" && cachedAsGranted(cache, service)) word = "granted";
    if (word == "granted") updated[service] = "granted";
  }
  if (updated != cache) saveCache(updated);
  return status;
}

void runStartupCheck(const PrivacyGate& gate) {
  const AuthorizationStatus contacts = gate.status(PrivacyEntity::contacts);
  bool needsAttention =
      contacts == AuthorizationStatus::restricted || contacts == AuthorizationStatus::denied;
  // A grant that was once seen and now reads undecided was lost, typically with an update.
  if (!needsAttention && contacts != AuthorizationStatus::granted) {
    needsAttention = cachedAsGranted(loadCache(), "contacts");
  }
  if (needsAttention) {
    Logger::warn(kCategory, "Permissions need attention: Contacts");
    return;
  }
  // "OK" only when it is: at a first start nothing is granted yet, and the tray asks next.
  const PermissionStatusMap status = platformStatus(gate);
  std::string words;
  for (const char* service : kServices) {
    words += (words.empty() ? "" : ", ") + std::string(service) + " " + status.at(service);
  }
  if (std::all_of(status.begin(), status.end(),
                  [](const auto& entry) { return entry.second == "granted"; })) {
    Logger::info(kCategory, "All TCC permissions OK (Calendar/Reminders/Contacts)");
  } else {
    Logger::info(kCategory, "TCC permissions: " + words);
  }
}

}  // namespace tvrn::TCCStatusChecker
