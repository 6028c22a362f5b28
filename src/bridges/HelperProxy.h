// The one road to the automation helper for calendar, reminder, contact, To Do and permission
// data: one JSON request and one JSON reply per call, answered inside the process by the
// function the proxy is built with (which takes and gives values, never text), or else by the
// tavrin-helper co-process, one object per line each way.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "base/Result.h"
#include "core/JSONValue.h"
#include "core/ToolDefinition.h"
#include "platform/Subprocess.h"

namespace tvrn {

class HelperProxy final {
 public:
  // Takes a request's method and its args (always an object) and returns the reply object. Runs
  // on the caller's thread, possibly on several at once.
  using InProcessDispatch =
      std::function<nlohmann::json(std::string_view method, const nlohmann::json& args)>;

  // How long an exchange waits for its reply when the caller names no time-out.
  static constexpr double defaultTimeoutSeconds = 30;

  // Where the helper program is looked for, in order: beside the running program,
  // /usr/local/bin, ~/.local/share/tavrin/bin. The first that exists, else the first candidate.
  static std::filesystem::path helperBinaryPath();

  // With an in-process function every call goes to it and no co-process is ever started; without
  // one, calls go to the helper program, started on first use.
  explicit HelperProxy(InProcessDispatch inProcess = {},
                       double timeoutSeconds = defaultTimeoutSeconds);
  HelperProxy(const HelperProxy&) = delete;
  HelperProxy& operator=(const HelperProxy&) = delete;

  bool inProcessMode() const { return static_cast<bool>(inProcess_); }

  // Ends the helper, if one runs, and forgets its last error output; a later call starts a new
  // one from the environment of that moment. Shutdown ends the server's helpers so.
  void end();

  // A tool call's arguments as the request's args (anything but an object sends none); the reply
  // becomes a tool result: its "text", else the result it answers already printed ("printed",
  // from the in-process function only), else its "result" as JSON.
  ToolResult call(std::string_view method, const std::optional<JSONValue>& params);
  // The same with args given as an untyped object (anything else sends none).
  ToolResult callArgs(std::string_view method, const nlohmann::json& args);
  // The reply's "result" (or the object its "printed" text holds) when it is an object; nothing
  // otherwise, failures included. A time-out of zero or less waits the instance's default.
  std::optional<nlohmann::json> callDict(std::string_view method,
                                         const nlohmann::json& args = nlohmann::json::object(),
                                         double timeout = 0);

 private:
  using Reply = Result<nlohmann::json, ToolError>;

  ToolResult callRaw(std::string_view method, const nlohmann::json& args);
  Reply callRawData(std::string_view method, const nlohmann::json& args, double timeout);

  Reply exchangeLocked(const nlohmann::json& request, double timeout);
  bool launchIfNeededLocked();
  Reply disconnectedLocked(bool streamEnded);
  Reply invalidReplyLocked();
  void captureStderrLocked();
  std::string stderrSuffixLocked() const;

  const InProcessDispatch inProcess_;
  const double timeoutSeconds_;

  std::mutex mutex_;  // held for a whole exchange; guards process_ and lastStderr_
  std::unique_ptr<Subprocess> process_;
  // The helper's last error-stream text (at most 200 characters), or why it last failed to start.
  std::string lastStderr_;
};

}  // namespace tvrn
