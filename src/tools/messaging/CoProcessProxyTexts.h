// The words of the Slack and Teams co-process clients: the program each one drives and the
// texts of its failures, which the error counters classify by their words.
#pragma once

namespace tvrn {

struct CoProcessProxyTexts {
  const char* program;
  const char* category;  // of the log lines
  const char* notAvailable;
  const char* cannotEncode;
  const char* pipeError;
  const char* crashed;
  const char* invalidReply;
  const char* errorPrefix;
};

// How the last error begins when the program is there but cannot be started.
inline constexpr const char* kCoProcessLaunchFailed = "Launch failed: ";

inline constexpr CoProcessProxyTexts kSlackProxyTexts{
    "slack-proxy",
    "slack",
    "Slack co-process not available. The slack-proxy binary must be present at: ",
    "Cannot encode Slack request",
    "Slack co-process pipe error",
    "Slack co-process crashed or disconnected",
    "Slack: invalid response JSON",
    "Slack: ",
};

inline constexpr CoProcessProxyTexts kTeamsProxyTexts{
    "teams-proxy",
    "teams",
    "Teams co-process not available. The teams-proxy binary must be present at: ",
    "Cannot encode Teams request",
    "Teams co-process pipe error",
    "Teams co-process crashed or disconnected",
    "Teams: invalid response JSON",
    "Teams: ",
};

}  // namespace tvrn
