// The Mail and Safari helpers, each one script on the runner the family was given, and the
// preview of completing a reminder.
#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolResponse.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/common/SystemToolsTexts.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SystemTexts;

constexpr std::int64_t kDefaultBookmarks = 100;

ToolResult runScript(JXARunning& jxa, const std::string& script) {
  ToolResult value = jxa.runAsJSONValue(script);
  if (!value.ok()) return value;
  return ToolResponse::json(value.value());
}

}  // namespace

std::string scriptLiteral(std::string_view text) {
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

ToolResult listAccounts(JXARunning& jxa) {
  return runScript(jxa, std::string(Texts::kAccountsScript));
}

ToolResult createEmailFolder(JXARunning& jxa, const Params::Arguments& arguments) {
  return Params::withRequired("name", arguments, [&](const std::string& name) -> ToolResult {
    const std::string account = Params::optional("account", arguments, "");
    if (!Params::optionalBool("confirm", arguments, false)) {
      return ToolResponse::text("Preview — create Mail folder '" + name +
                                std::string(Texts::kCallAgain));
    }
    const std::string literal = scriptLiteral(name);
    std::string script = "var app = Application('Mail');\n";
    script += account.empty()
                  ? "var acct = app.accounts()[0];\n"
                  : "var acct = app.accounts.whose({ name: " + scriptLiteral(account) + " })[0];\n";
    script += "var mbox = app.Mailbox({ name: " + literal + " });\n";
    script += "acct.mailboxes.push(mbox);\n";
    script += "return { created: true, name: " + literal + " };";
    return runScript(jxa, script);
  });
}

ToolResult listSafariBookmarks(JXARunning& jxa, const Params::Arguments& arguments) {
  const std::int64_t limit = Params::optionalInt("limit", arguments, kDefaultBookmarks);
  return runScript(jxa, std::string(Texts::kBookmarksScriptHead) + std::to_string(limit) +
                            std::string(Texts::kBookmarksScriptBody));
}

std::string completeReminderPreview(const Params::Arguments& arguments) {
  return "Preview — mark reminder '" + Params::optional("reminder_id", arguments, "?") +
         "' as complete. Call again with confirm: true to apply.";
}

}  // namespace tvrn::SystemTools
