// Once per tray process: when the running server is older than the tray or than the newest
// version the back end announced, AI-client entries that start an outdated server (through the
// package launcher, or a program path of ours that is not the bundled server) are pointed at the
// bundled server.
#pragma once

#include <QObject>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tray/TrayScheduler.h"

namespace tvrn {

class AutoRepair final {
 public:
  // No repair earlier than this after the server started: it may still be finishing an update.
  static constexpr std::chrono::seconds kCooldown{300};

  AutoRepair(TrayScheduler& scheduler, QObject* context)
      : scheduler_(scheduler), context_(context) {}

  // Decides at an applied status; does nothing once the repair ran.
  void check(const std::string& serverVersion, const std::optional<std::string>& startedAt,
             bool tccRegressed);
  bool done() const { return done_; }

  // first * 1,000,000 + second * 1,000 + third from the pieces that are whole numbers; nothing
  // with fewer than two such pieces.
  static std::optional<std::int64_t> versionNumber(std::string_view text);

  // Re-points outdated entries in the clients' files; the number of files rewritten.
  static int performRepair();

 private:
  void repair(const std::string& line);
  void fetchLatest(const std::string& serverVersion, std::int64_t serverNumber, bool tccRegressed);

  TrayScheduler& scheduler_;
  QObject* context_;
  bool done_ = false;
  bool fetchedLatest_ = false;
  std::optional<std::string> cooldownNotedFor_;  // the server start the skip was told for
};

}  // namespace tvrn
