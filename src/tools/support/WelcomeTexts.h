// The texts of the welcome tool.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::WelcomeTexts {

inline constexpr std::string_view kDescription =
    "Returns a live snapshot of what TVRN can currently see on this Mac: today's calendar "
    "events, due reminders, total contacts, and unread emails. Use this to show new users what "
    "TVRN has access to and suggest first steps. Only available before the first real tool call "
    "— call it immediately when the user first opens a chat.";

inline std::string suggestion(std::string_view prompt, std::string_view explanation) {
  return "\"" + std::string(prompt) + "\" — " + std::string(explanation);
}

inline std::string countOf(long long n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

inline const std::string kMeetingsToday =
    suggestion("What's on my calendar today?", "list today's events with times and locations");
inline const std::string kMeetingsThisWeek =
    suggestion("What's on my calendar this week?", "see upcoming events");
inline const std::string kReminders =
    suggestion("Show my due reminders", "list tasks that need attention");
inline const std::string kContacts = suggestion("Find contact [name]", "search your address book");
inline const std::string kMail =
    suggestion("Read my latest emails", "summarize unread messages from the last 24 hours");
inline const std::string kFallback =
    suggestion("What can you do?", "see the full list of TVRN capabilities");

inline constexpr std::string_view kCalendarEmoji = "\U0001F4C5 ";
inline constexpr std::string_view kReminderEmoji = "\u2705 ";
inline constexpr std::string_view kContactEmoji = "\U0001F464 ";
inline constexpr std::string_view kMailEmoji = "\U0001F4E7 ";

inline constexpr std::string_view kHeader = "Here's what TVRN can see on your Mac: ";
// Around where this system grants access, and the way without the tray naming kEveryEntry.
inline constexpr std::string_view kNothingConnectedStart =
    "No services are connected yet — grant permissions in ";
inline constexpr std::string_view kEveryEntry = "each service's entry";
inline constexpr std::string_view kNothingConnectedEnd = " to see your data here.";
inline constexpr std::string_view kThingsToTry = "\n\nThings to try:\n";

// Totals the unread messages of every account's inboxes; each spelling in its own guarded step.
inline constexpr std::string_view kUnreadScript = R"(var mail = Application('Mail');
var unread = 0;
mail.accounts().forEach(function(account) {
  try {
    account.mailboxes.whose({ name: 'INBOX' })().forEach(function(box) {
      unread += box.unreadCount();
    });
  } catch (e) {}
  try {
    account.mailboxes.whose({ name: 'Inbox' })().forEach(function(box) {
      unread += box.unreadCount();
    });
  } catch (e) {}
});
return { unread: unread };)";

}  // namespace tvrn::WelcomeTexts
