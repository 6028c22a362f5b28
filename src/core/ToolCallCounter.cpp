#include "core/ToolCallCounter.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Timestamp.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "core/ServerContext.h"
#include "core/Timeouts.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "platform/ProcessInfo.h"

namespace tvrn {

void CountTable::add(std::string_view key) {
  std::lock_guard lock(mutex_);
  ++counts_.breakdown[std::string(key)];
  ++counts_.total;
}

CountSnapshot CountTable::drain() {
  std::lock_guard lock(mutex_);
  return std::exchange(counts_, CountSnapshot{});
}

void CountTable::restore(const CountSnapshot& snapshot) {
  std::lock_guard lock(mutex_);
  counts_.total += snapshot.total;
  for (const auto& [key, count] : snapshot.breakdown) counts_.breakdown[key] += count;
}

namespace ToolCallCounter {
namespace {

constexpr const char* kFirstToolCallKey = "first_tool_call_at";

void recordFirstToolCall(const ConfigManager& config) {
  const nlohmann::json settings = config.load();
  if (settings.is_object() && settings.contains(kFirstToolCallKey)) return;
  if (!config.save({{kFirstToolCallKey, Timestamp::iso8601UTC()}})) {
    Logger::warn("counter", "Could not record the first tool call");
  }
}

}  // namespace

void incrementLocalOnly(ServerContext& context, std::string_view tool) {
  context.counts.calls.add(tool);
  // Outside the counter's lock: a slow settings file must not hold up other sessions' counting.
  if (!context.counts.firstCallRecorded.exchange(true)) recordFirstToolCall(*context.settings);
}

void increment(ServerContext& context, std::string_view tool, std::string_view aiClient) {
  incrementLocalOnly(context, tool);
  if (!reportsToStatusServer(context)) return;
  const nlohmann::json body = {{"tool", tool}, {"ai_client", aiClient}};
  context.poster->post(HttpClient::jsonPostRequest(
      Endpoints::statusBaseURL() + "/tool-call", body,
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::duration<double>(Timeouts::networkFireAndForget))));
}

bool isDaemon() {
  static const bool daemon = [] {
    const auto self = ProcessInfo::lookup(ProcessInfo::selfPid());
    if (!self) return false;
    for (const auto& argument : self->arguments) {
      if (argument == "--daemon") return true;
    }
    return false;
  }();
  return daemon;
}

bool reportsToStatusServer(const ServerContext& context) {
  return !isDaemon() && !context.statusServerInProcess;
}

}  // namespace ToolCallCounter
}  // namespace tvrn
