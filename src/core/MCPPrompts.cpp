#include "core/MCPPrompts.h"

namespace tvrn::MCPPrompts {
namespace {

constexpr std::string_view kArgumentDescription = "Search query";

}  // namespace

const std::vector<Prompt>& all() {
  static const std::vector<Prompt> table = {
      {"get_started",
       "Get started with TVRN",
       "See what TVRN can access on your Mac and get ideas for what to try first",
       {}},
      {"check_emails", "Check my inbox", "Summarize unread emails from the last 24 hours", {}},
      {"todays_schedule", "Today's schedule", "Show calendar events for today and tomorrow", {}},
      {"search_emails",
       "Search emails",
       "Search your inbox for a specific topic or sender",
       {"query"}},
      {"find_files",
       "Find files on my Mac",
       "Search for files and documents by name or type",
       {"query"}},
      {"check_messages", "Recent Messages", "Summarize recent iMessage conversations", {}},
      {"check_reminders", "My reminders", "List pending reminders and tasks", {}},
  };
  return table;
}

JSONValue listPayload() {
  JSONValue::Array prompts;
  for (const Prompt& prompt : all()) {
    JSONValue::Array arguments;
    for (const std::string& arg : prompt.args) {
      arguments.emplace_back(JSONValue::Object{
          {"name", arg}, {"description", kArgumentDescription}, {"required", true}});
    }
    prompts.emplace_back(JSONValue::Object{{"name", prompt.name},
                                           {"title", prompt.title},
                                           {"description", prompt.description},
                                           {"arguments", std::move(arguments)}});
  }
  return JSONValue::Object{{"prompts", std::move(prompts)}};
}

std::optional<std::string> text(std::string_view name, std::string_view query) {
  if (name == "get_started") {
    return "I just set up TVRN. Please call tvrn_state to check what's connected, then give me a "
           "quick overview of what you can access on my Mac and suggest 3 specific things I can "
           "try right now.";
  }
  if (name == "check_emails") {
    return "Summarize my unread emails from the last 24 hours. Group by sender, highlight "
           "anything urgent or that needs a reply.";
  }
  if (name == "todays_schedule") {
    return "What's on my calendar today and tomorrow? List all events with times.";
  }
  if (name == "search_emails") return "Search my emails for: " + std::string(query);
  if (name == "find_files") {
    if (query.empty()) {
      return "Show me the most recently modified files on my desktop and in my Downloads "
             "folder.";
    }
    return "Find files on my Mac matching: " + std::string(query);
  }
  if (name == "check_messages") {
    return "Summarize my recent iMessage conversations. Who has messaged me recently, and is "
           "there anything I need to respond to?";
  }
  if (name == "check_reminders") {
    return "List all my pending reminders and tasks, grouped by list. Highlight anything due "
           "today or overdue.";
  }
  return std::nullopt;
}

JSONValue getPayload(std::string_view text) {
  JSONValue::Object content{{"type", "text"}, {"text", text}};
  JSONValue::Object message{{"role", "user"}, {"content", std::move(content)}};
  return JSONValue::Object{{"messages", JSONValue::Array{std::move(message)}}};
}

}  // namespace tvrn::MCPPrompts
