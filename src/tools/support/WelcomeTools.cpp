#include "tools/support/WelcomeTools.h"

#include <chrono>
#include <string>
#include <vector>

#include "bridges/PlatformStores.h"
#include "core/DateFormat.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "pim/PrivacyGate.h"
#include "platform/RunningApps.h"
#include "tools/support/WelcomeTexts.h"

namespace tvrn::WelcomeTools {
namespace {

namespace Texts = WelcomeTexts;
using nlohmann::json;

constexpr std::string_view kMailBundleId = "com.apple.mail";
constexpr std::size_t kShownSuggestions = 3;

// Access is asked for only once the status already grants it, so no one is prompted and the
// answer comes at once.
bool readable(const EventStore& store, EntityType type) {
  return store.authorizationStatus(type) == AuthorizationStatus::granted &&
         store.requestAccess(type).granted;
}

bool readable(const ContactStore& store) {
  return store.authorizationStatus() == AuthorizationStatus::granted &&
         store.requestAccess().granted;
}

std::string welcome(EventStore& events, ContactStore& contacts, JXARunning& mail) {
  std::vector<std::string> facts;
  std::vector<std::string> suggestions;
  const auto now = std::chrono::system_clock::now();
  const auto today = localMidnight(now, 0);
  const auto tomorrow = localMidnight(now, 1);

  if (readable(events, EntityType::event)) {
    const auto n = static_cast<long long>(events.data().events(today, tomorrow).size());
    facts.push_back(std::string(Texts::kCalendarEmoji) + Texts::countOf(n, "meeting", "meetings") +
                    " today");
    suggestions.push_back(n > 0 ? Texts::kMeetingsToday : Texts::kMeetingsThisWeek);
  }
  if (readable(events, EntityType::reminder)) {
    ReminderQuery due;
    due.filter = ReminderFilter::incomplete;
    due.to = tomorrow;  // no lower bound: overdue ones count
    const auto n = static_cast<long long>(events.data().reminders(due).size());
    facts.push_back(std::string(Texts::kReminderEmoji) +
                    Texts::countOf(n, "reminder", "reminders") + " due");
    if (n >= 1) suggestions.push_back(Texts::kReminders);
  }
  if (readable(contacts)) {
    const auto n = contacts.data().contacts().size();
    facts.push_back(std::string(Texts::kContactEmoji) + std::to_string(n) + " contacts");
    suggestions.push_back(Texts::kContacts);
  }
  if (RunningApps::isRunning(kMailBundleId)) {
    const JXAResult ran = mail.run(Texts::kUnreadScript);
    const json* unread = nullptr;
    if (ran.ok() && ran.value().is_object()) {
      const auto found = ran.value().find("unread");
      if (found != ran.value().end() && found->is_number_integer()) unread = &*found;
    }
    if (unread != nullptr) {
      const auto n = unread->get<long long>();
      facts.push_back(std::string(Texts::kMailEmoji) +
                      Texts::countOf(n, "unread email", "unread emails"));
      if (n >= 1) suggestions.push_back(Texts::kMail);
    }
  }
  if (suggestions.size() < 2) suggestions.push_back(Texts::kFallback);

  std::string text;
  if (facts.empty()) {
    text = std::string(Texts::kNothingConnectedStart) + std::string(PrivacyGate::kGrantPlace) +
           PrivacyGate::withoutTray(Texts::kEveryEntry) + std::string(Texts::kNothingConnectedEnd);
  } else {
    text = Texts::kHeader;
    for (std::size_t i = 0; i < facts.size(); ++i) text += (i == 0 ? "" : ", ") + facts[i];
  }
  text += Texts::kThingsToTry;
  for (std::size_t i = 0; i < suggestions.size() && i < kShownSuggestions; ++i) {
    if (i > 0) text += "\n";
    text += "  " + std::to_string(i + 1) + ". " + suggestions[i];
  }
  return text;
}

}  // namespace

void registerTools(ToolRegistry& registry, JXARunning& mail, PlatformStores& stores) {
  EventStore& events = stores.events;
  ContactStore& contacts = stores.contacts;
  ToolDefinition tool{"tvrn_welcome", std::string(Texts::kDescription),
                      ToolSchema::schema(json::object(), json::array()), ToolKind::readOnly,
                      [&events, &contacts, &mail](const Params::Arguments&) -> ToolResult {
                        return ToolResponse::text(welcome(events, contacts, mail));
                      }};
  // It greets a new user: once the first tool call has been recorded it has done its job.
  tool.introductory = true;
  registry.registerTool(std::move(tool));
}

}  // namespace tvrn::WelcomeTools
