// Whether the user lets the system read their calendars, reminders and contacts. Linux has no
// system-wide gate, so the answers are kept in <app-support>/pim/authorization.json
// ({"calendar": word, "reminders": word, "contacts": word}); the tray asks the user through the
// prompt it registers.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "pim/PimDocument.h"
#include "platform/WatchedValue.h"

namespace tvrn {

enum class PrivacyEntity { calendar, reminders, contacts };

// "granted" is full access; "writeOnly" lets events be added but not read. A file entry that is
// missing reads notDetermined; a word the gate does not know, or an unreadable file, reads unknown.
enum class AuthorizationStatus { notDetermined, restricted, denied, granted, writeOnly, unknown };

// "calendar", "reminders", "contacts".
std::string_view toRaw(PrivacyEntity entity);
std::optional<PrivacyEntity> privacyEntityFromRaw(std::string_view word);
// "notDetermined", "restricted", "denied", "granted", "writeOnly", "unknown".
std::string_view toRaw(AuthorizationStatus status);
std::optional<AuthorizationStatus> authorizationStatusFromRaw(std::string_view word);

struct AccessAnswer {
  bool granted = false;
  // Set when access was refused without asking the user: the reason.
  std::optional<std::string> error;
};

class PrivacyGate {
 public:
  using Deadline = std::chrono::steady_clock::time_point;
  // Asks the user and returns by the deadline: true to grant, false to deny, nothing when the
  // user gave no answer (the dialog was dismissed or closed, or the deadline passed), which
  // leaves the status as it was. It must not call the gate.
  using Prompt = std::function<std::optional<bool>(PrivacyEntity, Deadline)>;
  // How long a request waits for the user (its turn and its prompt together) before it is
  // answered as not granted.
  static constexpr std::chrono::seconds kPromptTimeout{60};

  // Where a user of this system grants access, for the texts that send the user there.
  static constexpr std::string_view kGrantPlace = "the TVRN tray's Permissions section";

  static PrivacyGate& shared();

  std::filesystem::path file() const;

  // Said after kGrantPlace, for a user without the tray: " (without the tray: set <entry> to
  // "granted" in <file>)", the file written with "~" for the home folder.
  std::string withoutTray(std::string_view entry) const;

  // As the file says, without asking anyone. The file is read again once it changes, by another
  // program or by this one; until then a call takes no lock and looks at no file.
  AuthorizationStatus status(PrivacyEntity entity) const;

  // Granted answers at once; denied and restricted refuse at once with an error. Otherwise the
  // registered prompt is asked, one prompt at a time, and its answer is recorded; after the
  // prompt time-out without an answer the request is not granted and nothing is recorded.
  // Without a prompt a not-determined entity is granted and recorded, while writeOnly and
  // unknown are refused with an error.
  AccessAnswer requestAccess(PrivacyEntity entity);
  // The requests one after the other, in the order given, on a thread of their own; nobody
  // waits for their answers.
  void requestAccessInBackground(std::vector<PrivacyEntity> entities);

  // Registers the prompt (an empty one removes it).
  void setPrompt(Prompt prompt);
  void setPromptTimeout(std::chrono::milliseconds timeout);

  // Records a status; notDetermined removes the entry, unknown is refused.
  Result<AuthorizationStatus, std::string> setStatus(PrivacyEntity entity,
                                                     AuthorizationStatus status);

 private:
  // By PrivacyEntity.
  using Statuses = std::array<AuthorizationStatus, 3>;

  PrivacyGate();

  Result<AuthorizationStatus, std::string> record(PrivacyEntity entity, AuthorizationStatus status);
  WatchedValue<Statuses>::Made readStatuses(FileWatch& watch) const;

  mutable std::mutex fileMutex_;  // guards document_ and the file
  mutable PimDocument document_;
  mutable WatchedValue<Statuses> statuses_;
  // One prompt at a time: prompting_ is set while a prompt is up, and a request waits on
  // promptDone_ for its turn until its deadline.
  std::mutex promptMutex_;  // guards prompting_
  std::condition_variable promptDone_;
  bool prompting_ = false;
  mutable std::mutex hookMutex_;  // guards prompt_ and promptTimeout_
  Prompt prompt_;
  std::chrono::milliseconds promptTimeout_ = kPromptTimeout;
};

}  // namespace tvrn
