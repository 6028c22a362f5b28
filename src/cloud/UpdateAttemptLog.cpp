#include "cloud/UpdateAttemptLog.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Timestamp.h"
#include "core/Logger.h"
#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::array<std::pair<UpdatePhase, std::string_view>, 10> kPhaseNames{{
    {UpdatePhase::fetchLatest, "fetch_latest"},
    {UpdatePhase::download, "download"},
    {UpdatePhase::extract, "extract"},
    {UpdatePhase::sign, "sign"},
    {UpdatePhase::install, "install"},
    {UpdatePhase::cleanupStale, "cleanup_stale"},
    {UpdatePhase::tccReset, "tcc_reset"},
    {UpdatePhase::tray, "tray"},
    {UpdatePhase::teamsProxy, "teams_proxy"},
    {UpdatePhase::complete, "complete"},
}};

std::filesystem::path logFile() { return Paths::localShare() / "update-log.json"; }

std::optional<std::string> optionalText(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<UpdateAttempt> attemptFrom(const json& entry) {
  if (!entry.is_object()) return std::nullopt;
  const auto at = optionalText(entry, "timestamp");
  const auto time = at ? Timestamp::parseISO8601(*at) : std::nullopt;
  const auto phaseName = optionalText(entry, "phase");
  const auto phase = phaseName ? updatePhaseFromRaw(*phaseName) : std::nullopt;
  if (!time || !phase) return std::nullopt;
  UpdateAttempt attempt;
  attempt.timestamp = *time;
  attempt.fromVersion = optionalText(entry, "fromVersion").value_or("");
  attempt.toVersion = optionalText(entry, "toVersion");
  attempt.phase = *phase;
  attempt.success = entry.value("success", false);
  attempt.error = optionalText(entry, "error");
  attempt.durationMs = entry.value("durationMs", std::int64_t{0});
  attempt.note = optionalText(entry, "note");
  return attempt;
}

json toJSON(const UpdateAttempt& attempt) {
  json entry{{"timestamp", Timestamp::iso8601UTC(attempt.timestamp)},
             {"fromVersion", attempt.fromVersion},
             {"phase", toRaw(attempt.phase)},
             {"success", attempt.success},
             {"durationMs", attempt.durationMs}};
  if (attempt.toVersion) entry["toVersion"] = *attempt.toVersion;
  if (attempt.error) entry["error"] = *attempt.error;
  if (attempt.note) entry["note"] = *attempt.note;
  return entry;
}

UpdateState stateFrom(const json& object) {
  UpdateState state;
  if (const auto list = object.find("attempts"); list != object.end() && list->is_array()) {
    for (const auto& entry : *list) {
      if (auto attempt = attemptFrom(entry)) state.attempts.push_back(std::move(*attempt));
    }
  }
  if (const auto at = optionalText(object, "lastSuccessAt")) {
    state.lastSuccessAt = Timestamp::parseISO8601(*at);
  }
  if (const auto failures = object.find("consecutiveFailures");
      failures != object.end() && failures->is_number_integer()) {
    state.consecutiveFailures = failures->get<std::int64_t>();
  }
  return state;
}

json toJSON(const UpdateState& state) {
  json attempts = json::array();
  for (const auto& attempt : state.attempts) attempts.push_back(toJSON(attempt));
  json object{{"attempts", std::move(attempts)},
              {"consecutiveFailures", state.consecutiveFailures}};
  if (state.lastSuccessAt) object["lastSuccessAt"] = Timestamp::iso8601UTC(*state.lastSuccessAt);
  return object;
}

}  // namespace

std::string_view toRaw(UpdatePhase phase) {
  for (const auto& [value, raw] : kPhaseNames) {
    if (value == phase) return raw;
  }
  return "";
}

std::optional<UpdatePhase> updatePhaseFromRaw(std::string_view raw) {
  for (const auto& [value, name] : kPhaseNames) {
    if (name == raw) return value;
  }
  return std::nullopt;
}

UpdateAttemptLog& UpdateAttemptLog::shared() {
  static UpdateAttemptLog log;
  return log;
}

UpdateState UpdateAttemptLog::load() const {
  std::lock_guard hold(mutex_);
  return stateFrom(JsonObjectFile::read(logFile()).object);
}

void UpdateAttemptLog::record(const UpdateAttempt& attempt) {
  std::lock_guard hold(mutex_);
  const auto update = JsonObjectFile::update(logFile(), [&attempt](json& object) {
    UpdateState state = stateFrom(object);
    state.attempts.push_back(attempt);
    if (state.attempts.size() > kMaxAttempts) {
      state.attempts.erase(state.attempts.begin(),
                           state.attempts.end() - static_cast<std::ptrdiff_t>(kMaxAttempts));
    }
    if (!attempt.success) {
      ++state.consecutiveFailures;
    } else if (attempt.phase == UpdatePhase::complete) {
      state.consecutiveFailures = 0;
      state.lastSuccessAt = attempt.timestamp;
    }
    object = toJSON(state);
  });
  if (update.movedAside) {
    Logger::warn("update", "The damaged update log was moved to " + update.movedAside->string());
  }
  if (update.readError) {
    Logger::warn("update",
                 "The update log could not be read (" + *update.readError +
                     "); this step is not recorded: " + std::string(toRaw(attempt.phase)));
  } else if (!update.written) {
    Logger::warn("update", "The update log could not be written" +
                               (update.refused ? " (" + *update.refused + ")" : std::string()) +
                               "; this step is not recorded: " + std::string(toRaw(attempt.phase)));
  }
}

}  // namespace tvrn
