// The co-process clients of one server: the automation helper, the script runners and the
// messaging clients. Start-up builds one and hands each tool family, the service scanner, the
// permission checker and the manifest runners the clients they use; shutdown ends their
// co-processes. A test builds its own, so no co-process one test started reaches the next.
#pragma once

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "core/Timeouts.h"
#include "tools/common/AutomationBridges.h"
#include "tools/messaging/CoProcessProxy.h"
#include "tools/messaging/WhatsAppProxy.h"

namespace tvrn {

struct CoProcesses {
  // `inProcess` answers the helper's requests inside the process (start-up hands in the local
  // data services); without it the helper program is started on first use.
  explicit CoProcesses(const HelperProxy::InProcessDispatch& inProcess = {})
      : helper(inProcess), helperScanner(inProcess) {}
  CoProcesses(const CoProcesses&) = delete;
  CoProcesses& operator=(const CoProcesses&) = delete;

  // Ends every co-process that runs; a later call starts its own afresh.
  void end();

  // Tool calls, diagnostics, the state snapshot, the daily brief and manifest helper calls.
  HelperProxy helper;
  // The service scan and the permission status, so that neither waits behind a slow tool call.
  HelperProxy helperScanner;

  // Script runners, each with its own runner program; they differ only in their time-out.
  JXARunnerProxy scripts{Timeouts::jxaDefault};             // general tools
  JXARunnerProxy scriptsMedium{Timeouts::jxaMedium};        // slower scripts
  JXARunnerProxy scriptsSlow{Timeouts::jxaSlow};            // the slowest scripts
  JXARunnerProxy scriptsScanner{Timeouts::jxaServiceScan};  // the periodic service scan
  JXARunnerProxy scriptsDiag{Timeouts::jxaDiagnostic};      // quick checks and the welcome tools
  JXARunnerProxy scriptsDiagLong{Timeouts::jxaDiagnosticLong};  // the diagnostics checks

  CoProcessProxy slack{kSlackProxyTexts, Timeouts::teamsProxy};
  CoProcessProxy teams{kTeamsProxyTexts, Timeouts::teamsProxy};
  WhatsAppProxy whatsApp{Timeouts::teamsProxy};

  // What the tool calls read the machine's state through, and what the service scan does.
  AutomationBridges forTools() { return {helper, scripts}; }
  AutomationBridges forDiagnostics() { return {helper, scriptsDiagLong}; }
  AutomationBridges forScanner() { return {helperScanner, scriptsScanner}; }
};

}  // namespace tvrn
