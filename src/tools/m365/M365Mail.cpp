#include "tools/m365/M365Mail.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/PercentEncoding.h"
#include "base/Strings.h"
#include "base/Utf8.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/common/SettingsHandler.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Records.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = M365Texts;

constexpr const char* kListFields = "id,subject,from,receivedDateTime,bodyPreview,isRead";
constexpr const char* kReadFields =
    "id,subject,from,toRecipients,ccRecipients,receivedDateTime,body,isRead";

std::string subjectOf(const json& message) { return textOr(message, "subject", "(no subject)"); }

std::string dayOf(const json& message) {
  return Utf8::firstCharacters(textOr(message, "receivedDateTime"), 10);
}

const json& senderOf(const json& message) {
  return objectAt(objectAt(message, "from"), "emailAddress");
}

std::string senderName(const json& message) {
  const json& sender = senderOf(message);
  return textOf(sender, "name").value_or(textOr(sender, "address"));
}

std::string listBlock(const json& message) {
  const auto read = message.find("isRead");
  const bool unread = read != message.end() && read->is_boolean() && !read->get<bool>();
  return std::string(unread ? "●" : " ") + " [" + dayOf(message) + "] " + subjectOf(message) +
         "\n  From: " + senderName(message) + "\n  " +
         Utf8::firstCharacters(textOr(message, "bodyPreview"), 80) +
         "\n  ID: " + textOr(message, "id");
}

std::string searchBlock(const json& message) {
  return "[" + dayOf(message) + "] " + subjectOf(message) + "\n  From: " + senderName(message) +
         "\n  ID: " + textOr(message, "id");
}

ToolResult m365ListEmails(const ConfigManager& settings, const Params::Arguments& arguments) {
  const std::int64_t limit = boundedInt("limit", arguments, 20, 50);
  std::string folder = Params::optional("folder", arguments, "");
  if (folder.empty()) folder = "inbox";
  const bool unreadOnly = isTrue("unread_only", arguments);
  auto token = m365AccessToken(settings);
  if (!token) return fail(token.error());
  std::string url = graphRoot() + "/me/mailFolders/" + PercentEncoding::pathSegment(folder) +
                    "/messages?$select=" + kListFields + "&$top=" + std::to_string(limit) +
                    "&$orderby=receivedDateTime%20desc";
  if (unreadOnly) url += "&$filter=isRead%20eq%20false";
  return listing(m365GET(url, token.value(), false), Texts::kUnexpectedGraphResponse,
                 Texts::kNoEmails, Texts::emailsFound, listBlock);
}

ToolResult m365ReadEmail(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("id", arguments, [&](const std::string& id) -> ToolResult {
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    GraphBody body = m365GET(graphRoot() + "/me/messages/" + PercentEncoding::pathSegment(id) +
                                 "?$select=" + kReadFields,
                             token.value(), false);
    if (!body) return fail(body.error());
    const json message = json::parse(body.value(), nullptr, false);
    if (!message.is_object()) return fail(failure(Texts::kUnexpectedResponse));
    if (const auto error = message.find("error"); error != message.end() && error->is_object()) {
      return fail(failure(textOr(*error, "message", Texts::kErrorReadingEmail)));
    }
    std::vector<std::string> recipients;
    for (const auto& recipient : arrayAt(message, "toRecipients")) {
      if (auto address = textOf(objectAt(recipient, "emailAddress"), "address")) {
        recipients.push_back(*address);
      }
    }
    const json& sender = senderOf(message);
    return ToolResponse::text(
        "Subject: " + subjectOf(message) + "\nFrom: " + textOr(sender, "name") + " <" +
        textOr(sender, "address") + ">\nTo: " + Strings::joined(recipients, ", ") +
        "\nDate: " + shortMoment(textOr(message, "receivedDateTime"), 19) + "\n\n" +
        plainBodyText(textOr(objectAt(message, "body"), "content")));
  });
}

json recipientList(std::string_view addresses) {
  json list = json::array();
  for (const auto& address : addressList(addresses)) {
    list.push_back({{"emailAddress", {{"address", address}}}});
  }
  return list;
}

ToolResult m365SendEmail(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired3(
      "to", "subject", "body", arguments,
      [&](const std::string& to, const std::string& subject,
          const std::string& body) -> ToolResult {
        const std::string cc = Params::optional("cc", arguments, "");
        if (!isTrue("confirm", arguments)) {
          const std::string ccLine = cc.empty() ? "" : "CC: " + cc + "\n";
          return ToolResponse::text(std::string(Texts::kPreviewHeading) + "To: " + to + "\n" +
                                    ccLine + "Subject: " + subject + "\n\n" + body);
        }
        auto token = m365AccessToken(settings);
        if (!token) return fail(token.error());
        json message = {{"subject", subject},
                        {"body", {{"contentType", "Text"}, {"content", body}}},
                        {"toRecipients", recipientList(to)}};
        if (!cc.empty()) message["ccRecipients"] = recipientList(cc);
        const json request = {{"message", message}, {"saveToSentItems", true}};
        GraphBody sent = m365POST(graphRoot() + "/me/sendMail", token.value(), jsonText(request));
        if (!sent) return fail(sent.error());
        return ToolResponse::text(Texts::emailSent(to));
      });
}

ToolResult m365ReplyEmail(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired2(
      "id", "message", arguments,
      [&](const std::string& id, const std::string& message) -> ToolResult {
        if (!isTrue("confirm", arguments)) {
          return ToolResponse::text(std::string(Texts::kPreviewHeading) + message);
        }
        auto token = m365AccessToken(settings);
        if (!token) return fail(token.error());
        const char* action = isTrue("reply_all", arguments) ? "/replyAll" : "/reply";
        GraphBody sent =
            m365POST(graphRoot() + "/me/messages/" + PercentEncoding::pathSegment(id) + action,
                     token.value(), jsonText({{"comment", message}}));
        if (!sent) return fail(sent.error());
        return ToolResponse::text(Texts::kReplySent);
      });
}

ToolResult m365SearchEmails(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::int64_t limit = boundedInt("limit", arguments, 20, 50);
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    const std::string url = graphRoot() + "/me/messages?$search=" + quotedSearch("", query) +
                            "&$select=" + kListFields + "&$top=" + std::to_string(limit);
    return listing(
        m365GET(url, token.value(), false), Texts::kUnexpectedGraphResponse,
        Texts::noEmailsFor(query),
        [&](std::size_t count) { return Texts::emailsFoundFor(count, query); }, searchBlock);
  });
}

}  // namespace

std::string plainBodyText(std::string_view html) {
  std::string text;
  text.reserve(html.size());
  std::size_t at = 0;
  while (at < html.size()) {
    const auto open = html.find('<', at);
    // With no "<" left, or no ">" after it, no tag can close any more.
    const auto close = open == std::string_view::npos ? open : html.find('>', open + 1);
    if (close == std::string_view::npos) {
      text.append(html.substr(at));
      break;
    }
    if (close == open + 1) {  // "<>" encloses nothing, so it is text
      text.append(html.substr(at, close - at));
      at = close;
      continue;
    }
    text.append(html.substr(at, open - at));
    at = close + 1;
  }
  return std::string(Utf8::trim(text, Utf8::isWhiteSpace));
}

void registerMailTools(ToolRegistry& registry) {
  const ConfigManager& settings = *registry.context().settings;
  const json confirm =
      property("boolean", "Set to true to actually send (default: shows preview only)");
  registry.registerTool(
      {"m365_list_emails",
       "List emails from your Microsoft 365 / Outlook inbox. Returns subject, sender, date, and "
       "preview.",
       schema({{"limit", property("integer", "Number of emails to return (default 20, max 50)")},
               {"folder", property("string",
                                   "Folder name: inbox (default), sentitems, drafts, "
                                   "deleteditems")},
               {"unread_only", property("boolean", "If true, return only unread emails")}},
              json::array()),
       ToolKind::readOnly, withSettings(settings, m365ListEmails)});
  registry.registerTool(
      {"m365_read_email", "Read the full content of a specific Microsoft 365 email by its ID.",
       schema(
           {{"id", property("string",
                            "The email message ID from m365_list_emails or m365_search_emails")}},
           json::array({"id"})),
       ToolKind::readOnly, withSettings(settings, m365ReadEmail)});
  registry.registerTool(
      {"m365_send_email",
       "Send an email from your Microsoft 365 account. Shows a preview first — set confirm=true "
       "to actually send.",
       schema({{"to",
                property("string", "Recipient email address. For multiple, separate with commas.")},
               {"subject", property("string", "Email subject")},
               {"body", property("string", "Email body (plain text)")},
               {"cc", property("string", "CC recipients (optional, comma-separated)")},
               {"confirm", confirm}},
              json::array({"to", "subject", "body"})),
       ToolKind::send, withSettings(settings, m365SendEmail)});
  registry.registerTool(
      {"m365_reply_email",
       "Reply to a Microsoft 365 email by its message ID. Shows a preview first — set "
       "confirm=true to actually send.",
       schema(
           {{"id", property("string",
                            "Message ID to reply to (from m365_list_emails or "
                            "m365_read_email)")},
            {"message", property("string", "Your reply text")},
            {"reply_all", property("boolean", "If true, reply to all recipients (default: false)")},
            {"confirm", confirm}},
           json::array({"id", "message"})),
       ToolKind::send, withSettings(settings, m365ReplyEmail)});
  registry.registerTool(
      {"m365_search_emails", "Search your Microsoft 365 emails by keyword, sender, or subject.",
       schema({{"query", property("string",
                                  "Search query, e.g. 'budget Q2', 'from:alex@contoso.com', "
                                  "'subject:invoice'")},
               {"limit", property("integer", "Max results (default 20, max 50)")}},
              json::array({"query"})),
       ToolKind::readOnly, withSettings(settings, m365SearchEmails)});
}

}  // namespace tvrn::M365Tools
