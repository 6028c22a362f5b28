// The heartbeat's account of this process: the name of the AI client that launched it, which
// the heartbeat and every tool-call report carry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessInfo.h"

namespace tvrn {

class HeartbeatManager final {
 public:
  // "TVRN Tray" for a process started with "--daemon"; else the known AI client nearest among
  // the process's ancestors; else "CLI". Worked out once per process, on first use.
  static const std::string& aiClient();

  // When this process started serving, as 2025-01-31T09:05:00Z: fixed at the first call, which
  // the status server makes when it starts.
  static const std::string& startedAt();

  // The known AI client among these processes, nearest first: the first whose command name or
  // program name is one a client runs under.
  static std::optional<std::string> clientAmong(const std::vector<ProcessInfo::Entry>& processes);
};

}  // namespace tvrn
