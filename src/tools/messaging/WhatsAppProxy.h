// The WhatsApp client: each call runs the wacli command-line client once, with a command line
// built from the call, and reads its JSON answer. The two sending methods answer a preview and
// run nothing unless confirmed.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "core/ToolDefinition.h"

namespace tvrn {

class WhatsAppProxy final {
 public:
  explicit WhatsAppProxy(double timeoutSeconds);
  WhatsAppProxy(const WhatsAppProxy&) = delete;
  WhatsAppProxy& operator=(const WhatsAppProxy&) = delete;

  // One call of "send_message", "send_file", "list_chats", "read_messages" or
  // "search_messages" with its arguments; every failure is executionFailed. Calls run one at a
  // time.
  ToolResult call(std::string_view method, const nlohmann::json& args);

 private:
  using Answer = Result<nlohmann::json, ToolError>;

  Answer dispatch(std::string_view method, const nlohmann::json& args);
  Answer runWacliJSON(const std::vector<std::string>& arguments);
  Result<std::string, ToolError> runWacliProcess(const std::string& executable,
                                                 const std::vector<std::string>& arguments);

  const double timeoutSeconds_;
  std::mutex lock_;  // held for a whole call, the run of wacli included
};

}  // namespace tvrn
