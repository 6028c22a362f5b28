// The self-updater: asks the back end for the newest published server, and when it is newer
// downloads it, checks its SHA-256 and its publisher's Ed25519 signature, and installs its
// "bin/" and "tray/" files under ~/.local/share/tavrin. One check runs at a time.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "base/Result.h"

namespace tvrn {

class UpdateManager final {
 public:
  // What GET {backend}/runtime/latest answers.
  struct LatestInfo {
    std::string version;
    std::string url;        // of the .tar.gz archive
    std::string sha256;     // of the archive, in hexadecimal
    std::string signature;  // Ed25519 over the archive's bytes, in Base64
  };

  static constexpr std::size_t kMaxDownloadBytes = 256u << 20;

  static UpdateManager& shared();

  bool daemonModeEnabled() const { return daemonModeEnabled_; }
  void setDaemonModeEnabled(bool enabled) { daemonModeEnabled_ = enabled; }

  // One check on the calling thread, after any check under way has finished; installs a newer
  // server. Never fails: every outcome is a line of the text, and each step goes in the log.
  std::string checkNow();

  // Only asks for the newest published version (the step goes in the log) and says whether it
  // is newer than the running one; nothing is downloaded or installed.
  std::string checkOnly();

  // Queues one check and returns at once; it installs only when `install` is set and logs its
  // text. Nothing happens when the program runs from a build folder ("/.build/"), and a check
  // that finds another under way is skipped.
  void checkInBackground(bool install);

  // After the tray's files were installed: records its version in tray/.tray-version and leaves
  // the just-updated marker beside it. The error when a file could not be written.
  static std::optional<std::string> updateTrayIfNeeded(const std::string& version);

  // The tray's one reader of the just-updated marker: the version it holds, taken (the file is
  // deleted) from tray/.tray-just-updated, else from the older place one folder up.
  static std::optional<std::string> takeJustUpdatedVersion();

  UpdateManager() = default;
  UpdateManager(const UpdateManager&) = delete;
  UpdateManager& operator=(const UpdateManager&) = delete;

 private:
  std::string runCheck(bool install);
  // Downloads, checks and installs the archive. When an installed file's predecessor cannot be
  // put back after a failure, the staging folder that holds it is kept (and no later attempt
  // clears it) and the error names both failures.
  Result<void, std::string> installServer(const LatestInfo& latest, bool& trayIncluded);

  std::atomic<bool> daemonModeEnabled_{false};
  std::mutex checkMutex_;  // held for a whole check, so two never interleave
};

}  // namespace tvrn
