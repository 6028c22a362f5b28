// What the popover's services list shows, worked out from a status: which rows and headings
// exist, in order, what each row says, and the fix each offers; the widgets only draw it.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tray/ServerStatus.h"

namespace tvrn {

// What a row's fix button does.
struct ServiceFix {
  enum class Kind {
    application,  // start the program: `target` is its bundle id ("com.apple.mail")
    scheme,       // `target` is a URL scheme ("msteams://"), `fallback` a page for when none
    privacy,      // `target` is a permission key, `fallback` its settings pane
  };
  Kind kind = Kind::application;
  std::string target;
  std::string fallback;
  std::string permission;  // privacy: the permission's word when the list was built

  bool operator==(const ServiceFix&) const = default;
};

// How the fixes reach the desktop; the widgets wire them up, tests record them.
struct ServiceFixHandlers {
  std::function<void(const std::string& bundleId)> openApplication;
  std::function<void(const std::string& url)> openURL;
  // The program that opens URLs of the scheme, from the desktop's registry; empty when none.
  std::function<std::string(const std::string& scheme)> handlerFor;
  // Asks the user for the permission in place.
  std::function<void(const std::string& key)> requestPermission;
};
void runFix(const ServiceFix& fix, const ServiceFixHandlers& handlers);

struct ServiceRow {
  enum class State { error, running, off };

  std::string name;
  std::string icon;
  bool running = false;
  std::optional<std::string> detail;
  std::optional<std::string> errorMsg;
  std::optional<std::string> suggestion;
  std::optional<std::string> offReason;
  std::string fixLabel;
  std::optional<ServiceFix> fix;

  // An error wins over running.
  State state() const;
  // The detail on the right: only while running, and not a count of zero.
  std::optional<std::string> shownDetail() const;
  // The error as shown: at most 60 characters as a reader counts them, then "…".
  std::string shownError() const;

  bool operator==(const ServiceRow&) const = default;
};

struct SectionLabel {
  std::string title;  // as given; drawn upper-cased

  bool operator==(const SectionLabel&) const = default;
};

struct OutlookRow {
  enum class Badge { m365, ok, setup };
  Badge badge = Badge::ok;
  std::string line;
  bool addToMail = false;  // the "Add to Mail.app →" button
  bool warn() const { return badge == Badge::setup; }

  bool operator==(const OutlookRow&) const = default;
};
OutlookRow outlookRow(const std::optional<ServerStatus>& status,
                      const std::vector<std::string>& outlookMissing);

struct WhatsAppRow {
  bool signedIn = false;

  bool operator==(const WhatsAppRow&) const = default;
};

using ServiceItem = std::variant<SectionLabel, ServiceRow, OutlookRow, WhatsAppRow>;

// The list top to bottom; the Outlook row appears while `outlookAccounts` holds an account.
std::vector<ServiceItem> servicesSection(const ServerStatus& status,
                                         const std::vector<std::string>& outlookAccounts,
                                         const std::vector<std::string>& outlookMissing);

// The fix label of a privacy row for the permission's word (absent when never reported).
std::string tccLabel(const std::optional<std::string>& permission);

}  // namespace tvrn
