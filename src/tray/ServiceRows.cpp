#include "tray/ServiceRows.h"

#include "base/Utf8.h"
#include "tray/ServiceRowTexts.h"
#include "tray/TrayStrings.h"

namespace tvrn {
namespace {

namespace T = ServiceRowTexts;

constexpr std::size_t kShownErrorCharacters = 60;

// The word for a permission the server has not looked at yet.
constexpr std::string_view kPermissionNotKnown = "unknown";

bool notDetermined(const std::optional<std::string>& permission) {
  return permission == "notDetermined" || permission == "not_determined";
}

std::string counted(std::size_t count, std::string_view key) {
  return std::to_string(count) + " " + TrayStrings::L(key);
}

ServiceFix application(std::string name) {
  return {ServiceFix::Kind::application, std::move(name), {}, {}};
}

ServiceFix scheme(std::string_view url, std::string_view fallback) {
  return {ServiceFix::Kind::scheme, std::string(url), std::string(fallback), {}};
}

// Whatever the row's state, each row starts here.
ServiceRow row(std::string name, std::string icon, bool running) {
  ServiceRow made;
  made.name = std::move(name);
  made.icon = std::move(icon);
  made.running = running;
  made.fixLabel = T::kOpen;
  return made;
}

class SectionBuilder {
 public:
  explicit SectionBuilder(const ServerStatus& status)
      : errors_(status.serviceErrors.value_or(std::map<std::string, ServiceErrorEntry>{})),
        permissions_(status.permissions.value_or(std::map<std::string, std::string>{})) {}

  void label(std::string title) { items_.push_back(SectionLabel{std::move(title)}); }

  // The detail is made only for a running row.
  void add(ServiceRow made, const std::function<std::string()>& detail = {},
           const char* errorKey = nullptr) {
    if (made.running && detail) made.detail = detail();
    if (errorKey) {
      if (const auto entry = errors_.find(errorKey); entry != errors_.end()) {
        made.errorMsg = entry->second.error;
        made.suggestion = entry->second.suggestion;
      }
    }
    items_.push_back(std::move(made));
  }

  // A row whose fix is a privacy permission. While the server has not looked at the permission
  // yet ("unknown", as in the first status after a start) the row is off for no reason it can
  // tell, and offers nothing to fix.
  ServiceRow privacyRow(std::string name, std::string icon, bool running, const std::string& key,
                        std::string_view pane) {
    ServiceRow made = row(std::move(name), std::move(icon), running);
    const auto permission = permissionOf(key);
    if (permission == kPermissionNotKnown) {
      made.fixLabel.clear();
      return made;
    }
    made.offReason = TrayStrings::L("off_reason_permission");
    made.fixLabel = tccLabel(permission);
    made.fix = ServiceFix{ServiceFix::Kind::privacy, key, std::string(pane),
                          permission.value_or(std::string())};
    return made;
  }

  std::optional<std::string> permissionOf(const std::string& key) const {
    const auto found = permissions_.find(key);
    if (found == permissions_.end()) return std::nullopt;
    return found->second;
  }

  std::vector<ServiceItem> items_;

 private:
  std::map<std::string, ServiceErrorEntry> errors_;
  std::map<std::string, std::string> permissions_;
};

template <typename Member>
bool runningOf(const std::optional<Member>& member) {
  return member && member->running;
}

}  // namespace

ServiceRow::State ServiceRow::state() const {
  if (errorMsg) return State::error;
  return running ? State::running : State::off;
}

std::optional<std::string> ServiceRow::shownDetail() const {
  if (state() != State::running || !detail || detail->starts_with("0 ")) return std::nullopt;
  return detail;
}

std::string ServiceRow::shownError() const {
  const std::string message = errorMsg.value_or(std::string());
  if (Utf8::characterCount(message) <= kShownErrorCharacters) return message;
  return Utf8::firstCharacters(message, kShownErrorCharacters) + std::string(T::kEllipsis);
}

std::string tccLabel(const std::optional<std::string>& permission) {
  if (permission == "writeOnly") return std::string(T::kUpgrade);
  if (notDetermined(permission)) return std::string(T::kEnable);
  return std::string(T::kSettings);
}

void runFix(const ServiceFix& fix, const ServiceFixHandlers& handlers) {
  switch (fix.kind) {
    case ServiceFix::Kind::application:
      if (handlers.openApplication) handlers.openApplication(fix.target);
      return;
    case ServiceFix::Kind::privacy:
      if (notDetermined(fix.permission)) {
        if (handlers.requestPermission) handlers.requestPermission(fix.target);
      } else if (handlers.openURL) {
        handlers.openURL(fix.fallback);
      }
      return;
    case ServiceFix::Kind::scheme: {
      const std::string name = fix.target.substr(0, fix.target.find(':'));
      if (handlers.handlerFor && !handlers.handlerFor(name).empty()) {
        if (handlers.openURL) handlers.openURL(fix.target);
      } else if (!fix.fallback.empty() && handlers.openURL) {
        handlers.openURL(fix.fallback);
      }
      return;
    }
  }
}

OutlookRow outlookRow(const std::optional<ServerStatus>& status,
                      const std::vector<std::string>& outlookMissing) {
  OutlookRow made;
  const auto& m365 = status ? status->services.m365 : std::optional<ServiceM365>();
  if (m365 && m365->connected) {
    made.badge = OutlookRow::Badge::m365;
    made.line = m365->email ? std::string(T::kConnectedPrefix) + *m365->email
                            : std::string(T::kConnectedViaM365);
  } else if (outlookMissing.empty()) {
    made.badge = OutlookRow::Badge::ok;
    made.line = T::kOutlookInstalled;
  } else {
    made.badge = OutlookRow::Badge::setup;
    for (const auto& name : outlookMissing) made.line += (made.line.empty() ? "" : ", ") + name;
    made.line += T::kNotInMail;
    made.addToMail = true;
  }
  return made;
}

std::vector<ServiceItem> servicesSection(const ServerStatus& status,
                                         const std::vector<std::string>& outlookAccounts,
                                         const std::vector<std::string>& outlookMissing) {
  const Services& s = status.services;
  SectionBuilder section(status);

  section.label(TrayStrings::L("apple"));
  ServiceRow mail = row("Mail", "envelope", runningOf(s.email));
  mail.offReason = TrayStrings::L("off_reason_mail");
  mail.fix = application("com.apple.mail");
  section.add(
      mail, [&] { return counted(s.email->accounts.size(), "accounts"); }, "mail");

  ServiceRow calendar = section.privacyRow("Calendar", "calendar", runningOf(s.calendar),
                                           "calendar", T::kCalendarsPane);
  if (section.permissionOf("calendar") == "writeOnly") calendar.offReason = T::kWriteOnly;
  section.add(
      calendar, [&] { return counted(s.calendar->calendars.size(), "calendars"); }, "calendar");

  section.add(section.privacyRow("Contacts", "person.2", runningOf(s.contacts), "contacts",
                                 T::kContactsPane),
              [&] { return counted(s.contacts->sources.size(), "sources"); });
  section.add(section.privacyRow("Reminders", "checklist", runningOf(s.reminders), "reminders",
                                 T::kRemindersPane),
              [&] {
                return std::to_string(s.reminders->lists ? s.reminders->lists->size() : 0) +
                       " lists";
              });

  ServiceRow notes = row("Notes", "note.text", runningOf(s.notes));
  notes.offReason = TrayStrings::L("off_reason_notes");
  notes.fix = application("com.apple.Notes");
  section.add(notes, [&] { return std::to_string(s.notes->count.value_or(0)) + " notes"; });

  for (const auto& [name, icon, member, bundleId] :
       {std::tuple{"Messages", "message", &s.messages, "com.apple.MobileSMS"},
        std::tuple{"Safari", "safari", &s.safari, "com.apple.Safari"},
        std::tuple{"Finder", "folder", &s.finder, "com.apple.finder"}}) {
    ServiceRow simple = row(name, icon, runningOf(*member));
    simple.fix = application(bundleId);
    section.add(simple);
  }

  ServiceRow omnifocus = row("OmniFocus", "checkmark.circle", runningOf(s.omnifocus));
  omnifocus.offReason = TrayStrings::L("off_reason_omnifocus");
  omnifocus.fix = scheme("omnifocus://", T::kOmniFocusPage);
  section.add(omnifocus, [&] { return std::to_string(s.omnifocus->projects) + " projects"; });

  section.label(TrayStrings::L("microsoft"));
  ServiceRow teams = row("Teams", "bubble.left.and.bubble.right", s.teams && s.teams->available);
  teams.offReason = TrayStrings::L("off_reason_teams");
  teams.fix = scheme("msteams://", T::kTeamsPage);
  section.add(
      teams, [&] { return std::to_string(s.teams->conversations) + " chats"; }, "teams");

  ServiceRow onedrive = row("OneDrive", "cloud", s.onedrive && !s.onedrive->empty());
  onedrive.offReason = TrayStrings::L("off_reason_onedrive");
  onedrive.fixLabel = T::kGet;
  onedrive.fix = scheme("onedrive://", T::kOneDrivePage);
  section.add(onedrive, [&] { return std::to_string(s.onedrive->size()) + " folders"; });

  if (s.slack && s.slack->available) {
    ServiceRow slack = row("Slack", "number", s.slack->hasLocalData.value_or(false));
    slack.fix = scheme("slack://", T::kSlackPage);
    section.add(slack, [] { return std::string("Local data"); });
  }
  if (!outlookAccounts.empty()) {
    section.items_.push_back(outlookRow(status, outlookMissing));
  }
  if (s.nordvpn && s.nordvpn->installed) {
    section.label(std::string(T::kVPNHeading));
    ServiceRow nordvpn =
        row("NordVPN", "shield.lefthalf.filled", s.nordvpn->connected.value_or(false));
    nordvpn.fix = scheme("nordvpn://", T::kNordVPNPage);
    section.add(nordvpn, [] { return std::string("Connected"); });
  }
  if (s.whatsapp && s.whatsapp->available) {
    section.label(std::string(T::kMessagingHeading));
    section.items_.push_back(WhatsAppRow{s.whatsapp->authenticated});
  }
  return std::move(section.items_);
}

}  // namespace tvrn
