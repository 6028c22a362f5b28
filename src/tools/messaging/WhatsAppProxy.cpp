#include "tools/messaging/WhatsAppProxy.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "base/Utf8.h"
#include "bridges/CoProcessSupport.h"
#include "bridges/JXARunner.h"
#include "bridges/ScriptText.h"
#include "platform/Subprocess.h"
#include "tools/messaging/MessagingToolsTexts.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::size_t kInvalidOutputShown = 400;
constexpr std::int64_t kDefaultLimit = 50;

ToolError failure(std::string text) { return ToolError::executionFailed(std::move(text)); }

std::string text(const json& args, const char* name) {
  const auto found = args.find(name);
  return found != args.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string limit(const json& args) {
  const auto found = args.find("limit");
  const bool given = found != args.end() && found->is_number_integer();
  return std::to_string(given ? found->get<std::int64_t>() : kDefaultLimit);
}

bool confirmed(const json& args) {
  const auto found = args.find("confirm");
  return found != args.end() && found->is_boolean() && found->get<bool>();
}

// wacli would read a value starting with "-" as one of its own options.
std::optional<ToolError> refuseOption(const std::string& value, const char* name) {
  if (!value.starts_with('-')) return std::nullopt;
  return failure(std::string("WhatsApp: ") + name + " must not start with '-'");
}

std::optional<ToolError> requireChat(const std::string& chat) {
  if (chat.empty()) return failure("WhatsApp: chat_id is required");
  return refuseOption(chat, "chat_id");
}

json preview(json members) {
  members["preview"] = true;
  members["note"] = MessagingTexts::kWhatsAppPreviewNote;
  return members;
}

json dataOf(const json& answer) {
  const auto data = answer.find("data");
  return data != answer.end() ? *data : json();
}

// Chats carry their "JID"; the tools name the same id "chat_id".
json withChatIds(json data) {
  if (!data.is_array()) return data;
  for (json& chat : data) {
    if (!chat.is_object()) continue;
    const auto jid = chat.find("JID");
    if (jid != chat.end() && jid->is_string()) chat["chat_id"] = *jid;
  }
  return data;
}

std::optional<std::string> wacliErrorString(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_object()) {
    const auto message = value.find("message");
    if (message != value.end() && message->is_string()) return message->get<std::string>();
  }
  return std::nullopt;
}

// The first bytes of output that is not an answer; nothing when the cut leaves invalid UTF-8.
std::string shownOutput(std::string_view output) {
  const std::string_view head = output.substr(0, kInvalidOutputShown);
  return Utf8::isValid(head) ? std::string(head) : std::string();
}

}  // namespace

WhatsAppProxy::WhatsAppProxy(double timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}

ToolResult WhatsAppProxy::call(std::string_view method, const json& args) {
  std::lock_guard hold(lock_);
  Answer answer = dispatch(method, args.is_object() ? args : json::object());
  if (!answer) return fail(answer.error());
  return anyToJSONValue(answer.value());
}

WhatsAppProxy::Answer WhatsAppProxy::dispatch(std::string_view method, const json& args) {
  const std::string chat = text(args, "chat_id");
  if (method == "send_message") {
    if (auto refused = requireChat(chat)) return fail(*refused);
    const std::string message = text(args, "text");
    if (message.empty()) return fail(failure("WhatsApp: text is required"));
    if (!confirmed(args)) return preview({{"chat_id", chat}, {"text", message}});
    auto answer = runWacliJSON({"send", "text", "--json", "--to", chat, "--message", message});
    if (!answer) return answer;
    return dataOf(answer.value());
  }
  if (method == "send_file") {
    if (auto refused = requireChat(chat)) return fail(*refused);
    const std::string file = text(args, "file_path");
    if (file.empty()) return fail(failure("WhatsApp: file_path is required"));
    if (!file.starts_with('/'))
      return fail(failure("WhatsApp: file_path must be an absolute path"));
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
      return fail(failure("WhatsApp: file not found at " + file));
    }
    const std::string caption = text(args, "caption");
    if (!confirmed(args)) {
      return preview({{"chat_id", chat}, {"file_path", file}, {"caption", caption}});
    }
    std::vector<std::string> command = {"send", "file", "--json", "--to", chat, "--file", file};
    if (!caption.empty()) command.insert(command.end(), {"--caption", caption});
    auto answer = runWacliJSON(command);
    if (!answer) return answer;
    return dataOf(answer.value());
  }
  if (method == "list_chats") {
    auto answer = runWacliJSON({"chats", "list", "--json", "--limit", limit(args)});
    if (!answer) return answer;
    return json{{"chats", withChatIds(dataOf(answer.value()))}};
  }
  if (method == "read_messages") {
    if (auto refused = requireChat(chat)) return fail(*refused);
    auto answer =
        runWacliJSON({"messages", "list", "--json", "--chat", chat, "--limit", limit(args)});
    if (!answer) return answer;
    return dataOf(answer.value());
  }
  if (method == "search_messages") {
    const std::string query = text(args, "query");
    if (query.empty()) return fail(failure("WhatsApp: query is required"));
    if (auto refused = refuseOption(query, "query")) return fail(*refused);
    if (auto refused = refuseOption(chat, "chat_id")) return fail(*refused);
    std::vector<std::string> command = {"messages", "search",  query,
                                        "--json",   "--limit", limit(args)};
    if (!chat.empty()) command.insert(command.end(), {"--chat", chat});
    auto answer = runWacliJSON(command);
    if (!answer) return answer;
    return dataOf(answer.value());
  }
  return fail(failure("Unknown WhatsApp method: " + std::string(method)));
}

WhatsAppProxy::Answer WhatsAppProxy::runWacliJSON(const std::vector<std::string>& arguments) {
  const std::filesystem::path program = CoProcessSupport::wacliPath();
  std::error_code error;
  if (!std::filesystem::is_regular_file(program, error)) {
    return fail(failure("WhatsApp (wacli) binary not found at " + program.string()));
  }
  auto output = runWacliProcess(program.string(), arguments);
  if (!output) return fail(output.error());

  const std::string trimmed = ScriptText::decodeTrimmed(output.value());
  const json answer = json::parse(trimmed, nullptr, false);
  if (!answer.is_object()) {
    return fail(failure("WhatsApp (wacli): invalid JSON — " + shownOutput(output.value())));
  }
  const auto success = answer.find("success");
  if (success != answer.end() && success->is_boolean() && !success->get<bool>()) {
    const auto reason = answer.find("error");
    const auto message =
        reason != answer.end() ? wacliErrorString(*reason) : std::optional<std::string>();
    return fail(failure("WhatsApp: " + message.value_or("wacli reported failure")));
  }
  return answer;
}

// Both output pipes are drained while wacli runs, so an answer larger than a pipe holds cannot
// hold it up until the time-out.
Result<std::string, ToolError> WhatsAppProxy::runWacliProcess(
    const std::string& executable, const std::vector<std::string>& arguments) {
  RunOptions run;
  run.timeout = CoProcessSupport::waitOf(timeoutSeconds_);
  CompletedProcess done = Subprocess::run(CoProcessSupport::spawnOf(executable, arguments), run);

  if (!done.launched) {
    return fail(failure("WhatsApp (wacli): failed to launch — " + done.launchError));
  }
  if (done.timedOut) return fail(failure("WhatsApp (wacli): command timed out"));
  if (done.exit.status != 0 || done.exit.signalled) {
    const std::string joined = done.standardError + done.standardOutput;
    if (!Utf8::isValid(joined)) {
      return fail(failure("WhatsApp (wacli): exit code " + std::to_string(done.exit.status)));
    }
    return fail(failure("WhatsApp (wacli): " + ScriptText::decodeTrimmed(joined)));
  }
  return std::move(done.standardOutput);
}

}  // namespace tvrn
