#include "bridges/TCCMessages.h"

#include <initializer_list>

#include "base/Utf8.h"
#include "pim/PrivacyGate.h"

namespace tvrn::TCCMessages {

namespace {

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view piece : pieces) text += piece;
  return text;
}

// The access file's member for a service named as a text names it ("Calendars", "Reminders").
std::string entryOf(std::string_view service) {
  const std::string lowered = Utf8::lowercased(service);
  for (const auto entity :
       {PrivacyEntity::calendar, PrivacyEntity::reminders, PrivacyEntity::contacts}) {
    const std::string_view word = toRaw(entity);
    // "calendar", "reminder", "contact": the word without a plural "s".
    if (lowered.starts_with(word.substr(0, word.size() - (word.ends_with('s') ? 1 : 0)))) {
      return concat({"\"", word, "\""});
    }
  }
  return "its entry";
}

}  // namespace

std::string grantPlace(std::string_view service) {
  return concat(
      {PrivacyGate::kGrantPlace, " → ", service, PrivacyGate::withoutTray(entryOf(service))});
}

std::string automationDenied(std::string_view application) {
  return concat(
      {"macOS reset the Automation permission for tavrin-server to control ", application,
       ". This happens after every TVRN update because the binary's identity changes — a "
       "known limitation tied to binary re-signing on each update.\n\nFix in 30 seconds:\n"
       "1. Open System Settings → Privacy & Security → Automation\n"
       "2. Find \"tavrin-server\" in the list and expand it\n"
       "3. Turn ON the toggle for \"",
       application,
       "\"\n\nThen retry the call — it will work. (If \"tavrin-server\" isn't in the list "
       "yet, running this tool once should make macOS surface the prompt.)"});
}

std::string fullDiskAccessRequired(std::string_view what) {
  return concat({what,
                 " requires Full Disk Access. Go to System Settings → Privacy & Security → Full "
                 "Disk Access → enable TVRN. Then try again."});
}

std::string eventKitDenied(std::string_view service) {
  return concat({service, " access denied.\n\n", "Open ", grantPlace(service),
                 " and turn ON the toggle for **tavrin-server**.\n\n",
                 "This usually happens after an TVRN update because macOS treats the new binary as "
                 "a different app and resets its permissions. ",
                 "Re-enabling it takes 10 seconds."});
}

std::string staleTCC(std::string_view service) {
  return concat({service,
                 " access appears granted, but macOS returned zero results. This usually means the "
                 "TCC grant is stale after an update.\n\n",
                 "Open ", grantPlace(service),
                 ", toggle **tavrin-server** OFF and back ON, then try again."});
}

std::string startupBanner(const std::vector<std::string>& blocked) {
  if (blocked.empty()) return {};
  std::string names;
  for (const std::string& name : blocked) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return concat({"⚠️ Permissions need re-granting after update: ", names, ". ",
                 "Click **Grant Access** in the TVRN tray icon to restore access in one tap. ",
                 "Or open ", grantPlace(blocked.front()), " and ",
                 "turn ON the toggle for **tavrin-server**."});
}

std::string calendarWriteOnly() {
  return concat(
      {"Calendar permission is set to **Write Only**, but reading events requires **Full "
       "Access**.\n\nOpen ",
       grantPlace("Calendars"),
       ", find **tavrin-server** (not just TavrinTray.app — the daemon binary is a separate "
       "entry), and switch it from 'Write Only' to 'Full Access'.\n\nThen restart TVRN from the "
       "tray menu → Check for updates, so the running process picks up the new grant. Without a "
       "restart, EKEventStore caches the old status."});
}

std::string contactsDenied() {
  return concat(
      {"Contacts — grant access in ", grantPlace("Contacts"), " → enable tavrin-server."});
}

std::string contactsNotDetermined() {
  return concat(
      {"Contacts access hasn't been set up yet. TVRN has now registered the permission request "
       "with macOS — open ",
       grantPlace("Contacts"),
       ", find **tavrin-server** in the list, and turn its toggle ON. Then retry this tool.\n\nIf "
       "tavrin-server does not appear in the list yet, restart TVRN from the menu bar tray (Quit "
       "→ relaunch) and call this tool once more to register it."});
}

std::string calendarNotDetermined() {
  return concat(
      {"Calendar access hasn't been set up yet. TVRN has now registered the permission request "
       "with macOS — open ",
       grantPlace("Calendars"),
       ", find **tavrin-server** in the list, and set it to **Full Access**. Then retry this "
       "tool.\n\nIf tavrin-server does not appear in the list yet, restart TVRN from the menu bar "
       "tray (Quit → relaunch) and call this tool once more to register it."});
}

std::string remindersNotDetermined() {
  return concat(
      {"Reminders access hasn't been set up yet. TVRN has now registered the permission request "
       "with macOS — open ",
       grantPlace("Reminders"),
       ", find **tavrin-server** in the list, and turn its toggle ON. Then retry this tool.\n\nIf "
       "tavrin-server does not appear in the list yet, restart TVRN from the menu bar tray (Quit "
       "→ relaunch) and call this tool once more to register it."});
}

}  // namespace tvrn::TCCMessages
