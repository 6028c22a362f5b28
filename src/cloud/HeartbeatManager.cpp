#include "cloud/HeartbeatManager.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "base/Timestamp.h"
#include "cloud/TunnelLock.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "core/MCPClientTracker.h"
#include "core/PushMessageStore.h"
#include "core/Timeouts.h"
#include "core/ToolCallCounter.h"
#include "core/Versions.h"
#include "manifest/Manifest.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

// The Linux process names of the AI clients that start the server, compared case-insensitively
// with the kernel's command name and the program's file name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kClientByProcessName{{
    {"claude-desktop", "Claude Desktop"},
    {"claude", "Claude Code"},
    {"cursor", "Cursor"},
    {"windsurf", "Windsurf"},
    {"code", "VS Code"},
    {"code-oss", "VS Code"},
    {"codium", "VS Code"},
    {"zed", "Zed"},
    {"zed-editor", "Zed"},
    {"zeditor", "Zed"},
}};

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

std::optional<std::string> clientOf(const ProcessInfo::Entry& process) {
  for (const auto& [processName, client] : kClientByProcessName) {
    if (sameName(process.command, processName) || sameName(process.executable, processName)) {
      return std::string(client);
    }
  }
  return std::nullopt;
}

constexpr std::string_view kCategory = "heartbeat";

nlohmann::json countsJSON(const CountSnapshot& counts) {
  return {{"total", counts.total}, {"breakdown", counts.breakdown}};
}

std::int64_t manifestCheckEveryBeats(const ServerContext& context) {
  if (!context.manifestSetting) return 1;
  const auto text = context.manifestSetting("manifest_check_every_beats");
  const auto every = text ? parseManifestInt(*text) : std::nullopt;
  return every && *every > 0 ? *every : 1;
}

void storeLatestVersion(const nlohmann::json& reply) {
  const auto latest = reply.find("latest_version");
  if (latest == reply.end() || !latest->is_string()) return;
  const auto& version = latest->get_ref<const std::string&>();
  if (Versions::components(version).empty()) return;
  if (!FileStore::writeAtomic(Paths::localShare() / "bin" / ".latest-version", version, 0644)) {
    Logger::warn(kCategory, "Could not store the latest version " + version);
  }
}

void storePushMessage(const nlohmann::json& reply, PushMessageStore& store) {
  const auto message = reply.find("push_message");
  if (message == reply.end()) return;
  if (message->is_null()) return store.setMessage(std::nullopt);
  if (!message->is_string()) return;
  std::string text = message->get<std::string>();
  store.setMessage(text.empty() ? std::nullopt : std::optional(std::move(text)));
}

bool manifestChanged(const nlohmann::json& reply) {
  const auto update = reply.find("manifest_update");
  return update != reply.end() && update->is_boolean() && update->get<bool>();
}

}  // namespace

HeartbeatManager::HeartbeatManager(std::string version, std::shared_ptr<ServerContext> context,
                                   Wait wait)
    : version_(std::move(version)), context_(std::move(context)), wait_(std::move(wait)) {}

HeartbeatManager::~HeartbeatManager() { stop(); }

bool HeartbeatManager::pause(std::stop_token stop) {
  if (wait_) return wait_(kInterval, stop) && !stop.stop_requested();
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, stop, kInterval, [] { return false; });
  return !stop.stop_requested();
}

void HeartbeatManager::startInBackground() {
  std::lock_guard hold(mutex_);
  if (thread_.joinable()) return;
  thread_ = std::jthread([this](std::stop_token stop) {
    if (!TunnelLock::shared().acquire(stop)) return;
    do {
      // A failed beat has been logged; the next one is due after the pause either way.
      static_cast<void>(sendHeartbeat(stop));
    } while (pause(stop));
  });
}

void HeartbeatManager::stop() {
  std::jthread thread;
  {
    std::lock_guard hold(mutex_);
    thread = std::move(thread_);
  }
  thread.request_stop();
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

bool HeartbeatManager::sendHeartbeat(std::stop_token stop) {
  ServerContext& context = *context_;
  const std::string& version = version_;
  const std::int64_t beat = ++beatsSent_;
  std::string client = context.reportingClient.last();
  if (client.empty()) client = aiClient();
  const CountSnapshot calls = context.counts.calls.drain();
  const CountSnapshot errors = context.counts.errors.drain();
  const nlohmann::json body{{"machine_id", context.settings->getMachineId()},
                            {"version", version},
                            {"ai_client", client},
                            {"tool_calls", countsJSON(calls)},
                            {"tool_errors", countsJSON(errors)}};
  const auto result = HttpClient::perform(
      HttpClient::jsonPostRequest(
          Endpoints::backend() + "/heartbeat", body,
          std::chrono::milliseconds(static_cast<long long>(Timeouts::networkDefault * 1000))),
      stop);
  if (!result || !result.value().isSuccess()) {
    context.counts.calls.restore(calls);
    context.counts.errors.restore(errors);
    Logger::warn(kCategory,
                 "Heartbeat failed: " + (result ? "HTTP " + std::to_string(result.value().status)
                                                : result.error().message));
    return false;
  }
  const auto reply = nlohmann::json::parse(result.value().body, nullptr, false);
  bool checkManifest = beat % manifestCheckEveryBeats(context) == 0;
  if (reply.is_object()) {
    storeLatestVersion(reply);
    storePushMessage(reply, context.pushMessage);
    checkManifest = checkManifest || manifestChanged(reply);
  }
  if (checkManifest && context.manifestCheck) context.manifestCheck();
  return true;
}

std::optional<std::string> HeartbeatManager::clientAmong(
    const std::vector<ProcessInfo::Entry>& processes) {
  for (const auto& process : processes) {
    if (auto client = clientOf(process)) return client;
  }
  return std::nullopt;
}

const std::string& HeartbeatManager::aiClient() {
  static const std::string client = [] {
    if (ToolCallCounter::isDaemon()) return std::string("TVRN Tray");
    return clientAmong(ProcessInfo::ancestors(ProcessInfo::selfPid())).value_or("CLI");
  }();
  return client;
}

const std::string& HeartbeatManager::startedAt() {
  static const std::string started = Timestamp::iso8601UTC();
  return started;
}

}  // namespace tvrn
