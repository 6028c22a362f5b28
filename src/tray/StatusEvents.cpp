#include "tray/StatusEvents.h"

namespace tvrn {
namespace {

// A tool call reported this many seconds ago or more is old news, not activity to show.
constexpr std::int64_t kActivityMaxAgeSeconds = 10;

bool isNudge(const std::optional<std::string>& message) {
  return message && message->starts_with(kNudgePrefix);
}

std::optional<std::string> wordOf(const std::map<std::string, std::string>& permissions,
                                  const std::string& key) {
  const auto found = permissions.find(key);
  if (found == permissions.end()) return std::nullopt;
  return found->second;
}

void comparePermissions(StatusBookkeeping& book, const std::map<std::string, std::string>& now,
                        StatusEvents& events) {
  const auto& before = *book.prevPermissions;
  const bool hadDenied = !book.tccDeniedKeys.empty();
  for (const auto& [key, word] : now) {
    const auto previous = wordOf(before, key);
    if (word == "granted") {
      book.tccRegressedKeys.erase(key);
    } else if (previous == "granted") {
      book.tccRegressedKeys.insert(key);
      events.regressionLines.push_back("[TVRN tray] TCC regression: " + key + " " + *previous +
                                       " \u2192 " + word);
    }
    if (word == "denied" && previous != "denied") {
      events.newlyDenied.insert(key);
      book.tccDeniedKeys.insert(key);
    } else if (word != "denied" && previous == "denied") {
      book.tccDeniedKeys.erase(key);
    }
  }
  const bool wasRegressed = book.tccRegressed;
  book.tccRegressed = !book.tccRegressedKeys.empty();
  events.tccRegressed = book.tccRegressed && !wasRegressed;
  events.tccRestored = hadDenied && book.tccDeniedKeys.empty();
}

// The words of `now` that tell something: "unknown" (a server that has not looked yet) neither
// loses nor restores a permission, and the word seen before it stands.
std::map<std::string, std::string> knownWords(const StatusBookkeeping& book,
                                              const std::map<std::string, std::string>& now) {
  std::map<std::string, std::string> known;
  for (const auto& [key, word] : now) {
    if (word != "unknown") {
      known[key] = word;
    } else if (const auto before =
                   book.prevPermissions ? wordOf(*book.prevPermissions, key) : std::nullopt) {
      known[key] = *before;
    }
  }
  return known;
}

void applyPermissions(StatusBookkeeping& book, const std::map<std::string, std::string>& reported,
                      StatusEvents& events) {
  const auto now = knownWords(book, reported);
  if (book.prevPermissions) {
    comparePermissions(book, now, events);
  } else {
    // The first map seen: denials are news, regressions cannot be told yet.
    for (const auto& [key, word] : now) {
      if (word == "denied") events.newlyDenied.insert(key);
    }
    if (!events.newlyDenied.empty()) book.tccDeniedKeys = events.newlyDenied;
  }
  book.prevPermissions = now;

  if (book.didAutoRequestTCC) return;
  for (const auto& [key, word] : now) {
    if (key != "automation" && (word == "notDetermined" || word == "not_determined")) {
      events.notDetermined.insert(key);
    }
  }
  if (!events.notDetermined.empty()) book.didAutoRequestTCC = true;
}

}  // namespace

StatusEvents applyStatus(StatusBookkeeping& book, const ServerStatus& status) {
  StatusEvents events;
  events.state = status.server;

  if (const auto& activity = status.lastActivity) {
    if (book.lastActivityAt && *book.lastActivityAt != activity->at &&
        activity->agoS < kActivityMaxAgeSeconds) {
      events.activitySource = activity->source;
    }
    book.lastActivityAt = activity->at;
  }

  events.nudge = isNudge(status.pushMessage) && !isNudge(book.lastPushMessage);
  book.lastPushMessage = status.pushMessage;

  if (book.prevVersion && *book.prevVersion != status.version) events.newVersion = status.version;
  book.prevVersion = status.version;

  if (status.permissions) applyPermissions(book, *status.permissions, events);
  return events;
}

}  // namespace tvrn
