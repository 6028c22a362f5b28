// Whether the user lets the system read their calendars, reminders and contacts. Linux has no
// system-wide gate, so the answers are kept in <app-support>/pim/authorization.json
// ({"calendar": word, "reminders": word, "contacts": word}); the tray asks the user through the
// prompt it registers. A server process has one gate, built by the program and handed to those
// that ask it; a test builds its own.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
  // Called once, from any thread, when the prompt closes: true to grant, false to deny, nothing
  // when it was closed without an answer, which leaves the status as it was.
  using Answer = std::function<void(std::optional<bool>)>;
  // Puts the question to the user and returns at once; the prompt stays up until the user closes
  // it, however long that takes. It must not call the gate, except through `Answer`.
  using Prompt = std::function<void(PrivacyEntity, Answer)>;
  // How long a request waits for the user (its prompt's turn and the prompt together) before it
  // is answered as not granted; the prompt itself stays up. Below the 60 s a client commonly
  // waits for a tool's answer, so it reads "not granted" rather than its own time-out.
  static constexpr std::chrono::seconds kPromptTimeout{45};

  // Where a user of this system grants access, for the texts that send the user there.
  static constexpr std::string_view kGrantPlace = "the TVRN tray's Permissions section";

  // Reports the file it could not read, or had to move aside, through `warn`.
  explicit PrivacyGate(PimWarningHandler warn = {});
  PrivacyGate(const PrivacyGate&) = delete;
  PrivacyGate& operator=(const PrivacyGate&) = delete;

  // The file every gate of this user keeps its answers in.
  static std::filesystem::path file();

  // Said after kGrantPlace, for a user without the tray: " (without the tray: set <entry> to
  // "granted" in <file>)", the file written with "~" for the home folder.
  static std::string withoutTray(std::string_view entry);

  // As the file says, without asking anyone. The file is read again once it changes, by another
  // program or by this one; until then a call takes no lock and looks at no file.
  AuthorizationStatus status(PrivacyEntity entity) const;

  // Granted answers at once; denied and restricted refuse at once with an error. Otherwise the
  // registered prompt is asked, one prompt at a time, and at most once for each entity after the
  // prompt was registered: a later request for an entity whose prompt closed unanswered is not
  // granted, and nobody is asked. The answer is recorded when the user gives it, even after the
  // request has had its "not granted" at the prompt time-out. Must not be called on the thread
  // that shows the prompts. Without a prompt a not-determined entity is granted and recorded,
  // while writeOnly and unknown are refused with an error.
  AccessAnswer requestAccess(PrivacyEntity entity);
  // Who wants the prompts up: the system on its own (a first-run ask) asks for each entity at
  // most once per prompt registration, as requestAccess does; the user's own click (a "Grant
  // Access" button) always puts the prompt up again, unless it is already up or in line.
  enum class Asker { system, user };
  // Puts the prompts in line, in the order given, and returns at once; nobody waits for their
  // answers.
  void requestAccessInBackground(std::vector<PrivacyEntity> entities, Asker asker = Asker::system);

  // Registers the prompt (an empty one removes it) and forgets which entities were asked.
  void setPrompt(Prompt prompt);
  void setPromptTimeout(std::chrono::milliseconds timeout);

  // Records a status; notDetermined removes the entry, unknown is refused.
  Result<AuthorizationStatus, std::string> setStatus(PrivacyEntity entity,
                                                     AuthorizationStatus status);

 private:
  // By PrivacyEntity.
  using Statuses = std::array<AuthorizationStatus, 3>;

  Result<AuthorizationStatus, std::string> record(PrivacyEntity entity, AuthorizationStatus status);
  // Puts the entity's prompt in line unless it was asked before (for the system) or is in line
  // or up now (for the user); true when a prompt is registered.
  bool enqueue(PrivacyEntity entity, Asker asker = Asker::system);
  // Shows the next prompt in line while none is up.
  void showNext();
  void promptClosed(std::uint64_t round, PrivacyEntity entity, std::optional<bool> answer);
  bool pending(PrivacyEntity entity) const;  // with stateMutex_ held
  WatchedValue<Statuses>::Made readStatuses(FileWatch& watch) const;

  const PimWarningHandler warn_;
  mutable std::mutex fileMutex_;  // guards document_ and the file
  mutable PimDocument document_;
  mutable WatchedValue<Statuses> statuses_;
  mutable std::mutex stateMutex_;  // guards the members below it
  std::condition_variable promptClosed_;
  Prompt prompt_;
  std::chrono::milliseconds promptTimeout_ = kPromptTimeout;
  // Counts setPrompt calls; the answer of a prompt of an earlier round is only recorded.
  std::uint64_t round_ = 0;
  std::deque<PrivacyEntity> waiting_;  // prompts in line, the user sees one at a time
  std::optional<PrivacyEntity> showing_;
  std::set<PrivacyEntity> asked_;  // in line, showing or closed in this round
  std::map<PrivacyEntity, std::optional<bool>> answers_;  // of the prompts closed in this round
};

}  // namespace tvrn
