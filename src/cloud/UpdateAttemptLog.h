// The self-updater's history: every step of every update attempt, kept in update-log.json under
// ~/.local/share/tavrin, so a user (or an AI client) can tell why an update did not arrive.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn {

enum class UpdatePhase {
  fetchLatest,
  download,
  extract,
  sign,
  install,
  cleanupStale,
  tccReset,
  tray,
  teamsProxy,
  complete,
};

std::string_view toRaw(UpdatePhase phase);
std::optional<UpdatePhase> updatePhaseFromRaw(std::string_view raw);

struct UpdateAttempt {
  std::chrono::system_clock::time_point timestamp;
  std::string fromVersion;
  std::optional<std::string> toVersion;
  UpdatePhase phase = UpdatePhase::fetchLatest;
  bool success = false;
  std::optional<std::string> error;
  std::int64_t durationMs = 0;
  std::optional<std::string> note;
};

struct UpdateState {
  std::vector<UpdateAttempt> attempts;  // oldest first
  std::optional<std::chrono::system_clock::time_point> lastSuccessAt;
  std::int64_t consecutiveFailures = 0;  // failed steps since the last good "complete"
};

class UpdateAttemptLog final {
 public:
  static constexpr std::size_t kMaxAttempts = 50;

  static UpdateAttemptLog& shared();

  // The history; empty when the file is missing, damaged or unreadable.
  UpdateState load() const;

  // Adds one step. A damaged file is moved aside first; one that cannot be read is never
  // written over (the step is then only logged).
  void record(const UpdateAttempt& attempt);

  UpdateAttemptLog() = default;
  UpdateAttemptLog(const UpdateAttemptLog&) = delete;
  UpdateAttemptLog& operator=(const UpdateAttemptLog&) = delete;

 private:
  mutable std::mutex mutex_;  // guards the file
};

}  // namespace tvrn
