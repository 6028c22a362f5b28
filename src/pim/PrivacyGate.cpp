#include "pim/PrivacyGate.h"

#include <thread>
#include <utility>

#include "platform/Paths.h"

namespace tvrn {
namespace {

constexpr std::pair<PrivacyEntity, std::string_view> kEntities[] = {
    {PrivacyEntity::calendar, "calendar"},
    {PrivacyEntity::reminders, "reminders"},
    {PrivacyEntity::contacts, "contacts"}};

constexpr std::pair<AuthorizationStatus, std::string_view> kStatuses[] = {
    {AuthorizationStatus::notDetermined, "notDetermined"},
    {AuthorizationStatus::restricted, "restricted"},
    {AuthorizationStatus::denied, "denied"},
    {AuthorizationStatus::granted, "granted"},
    {AuthorizationStatus::writeOnly, "writeOnly"},
    {AuthorizationStatus::unknown, "unknown"}};

template <typename E, size_t N>
std::string_view wordOf(const std::pair<E, std::string_view> (&table)[N], E value) {
  for (const auto& [candidate, word] : table) {
    if (candidate == value) return word;
  }
  return {};
}

template <typename E, size_t N>
std::optional<E> valueOf(const std::pair<E, std::string_view> (&table)[N], std::string_view word) {
  for (const auto& [value, candidate] : table) {
    if (candidate == word) return value;
  }
  return std::nullopt;
}

std::filesystem::path folder() { return Paths::appSupport() / "pim"; }

// What the file's document says of one entity.
AuthorizationStatus statusIn(const nlohmann::json& content, PrivacyEntity entity) {
  auto entry = content.find(std::string(toRaw(entity)));
  if (entry == content.end() || entry->is_null()) return AuthorizationStatus::notDetermined;
  if (!entry->is_string()) return AuthorizationStatus::unknown;
  return authorizationStatusFromRaw(entry->get_ref<const std::string&>())
      .value_or(AuthorizationStatus::unknown);
}

// The answer that needs nobody asked, when there is one.
std::optional<AccessAnswer> settled(PrivacyEntity entity, AuthorizationStatus status) {
  const std::string name(toRaw(entity));
  switch (status) {
    case AuthorizationStatus::granted:
      return AccessAnswer{true, std::nullopt};
    case AuthorizationStatus::denied:
      return AccessAnswer{false, "Access to " + name + " was denied."};
    case AuthorizationStatus::restricted:
      return AccessAnswer{false, "Access to " + name + " is restricted."};
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string_view toRaw(PrivacyEntity entity) { return wordOf(kEntities, entity); }

std::optional<PrivacyEntity> privacyEntityFromRaw(std::string_view word) {
  return valueOf(kEntities, word);
}

std::string_view toRaw(AuthorizationStatus status) { return wordOf(kStatuses, status); }

std::optional<AuthorizationStatus> authorizationStatusFromRaw(std::string_view word) {
  return valueOf(kStatuses, word);
}

PrivacyGate::PrivacyGate()
    : document_("authorization.json",
                [](const nlohmann::json&) -> std::optional<std::string> { return std::nullopt; }),
      statuses_({"HOME", "XDG_CONFIG_HOME"},
                [this](FileWatch& watch) { return readStatuses(watch); }) {}

PrivacyGate& PrivacyGate::shared() {
  // Never destroyed: a request on a thread of its own may outlive the rest of the process.
  static auto* gate = new PrivacyGate();
  return *gate;
}

std::filesystem::path PrivacyGate::file() const { return folder() / document_.fileName(); }

std::string PrivacyGate::withoutTray(std::string_view entry) const {
  return " (without the tray: set " + std::string(entry) + " to \"granted\" in " +
         Paths::withTilde(file()) + ")";
}

AuthorizationStatus PrivacyGate::status(PrivacyEntity entity) const {
  return (*statuses_.get())[static_cast<std::size_t>(entity)];
}

WatchedValue<PrivacyGate::Statuses>::Made PrivacyGate::readStatuses(FileWatch& watch) const {
  PimWarnings warnings;
  auto statuses = std::make_shared<Statuses>();
  bool complete = false;
  {
    std::lock_guard lock(fileMutex_);
    // Watched before it is read, so a change made while reading is reported too. A reported
    // change is read in full: the file's times may not show a change made within a clock tick.
    const bool watched = watch.watch({file()});
    if (watched) document_.forget();
    const nlohmann::json& content = document_.read(folder(), warnings);
    const bool unusable = document_.problem() || document_.readError();
    for (const auto& [entity, word] : kEntities) {
      (*statuses)[static_cast<std::size_t>(entity)] =
          unusable ? AuthorizationStatus::unknown : statusIn(content, entity);
    }
    // A file that could not be read is tried again at the next call.
    complete = watched && !document_.readError();
  }
  emitPimWarnings(warnings);
  return {std::move(statuses), complete};
}

AccessAnswer PrivacyGate::requestAccess(PrivacyEntity entity) {
  if (auto answer = settled(entity, status(entity))) return *answer;
  Prompt prompt;
  Deadline deadline;
  {
    std::lock_guard lock(hookMutex_);
    prompt = prompt_;
    deadline = std::chrono::steady_clock::now() + promptTimeout_;
  }
  {
    std::unique_lock lock(promptMutex_);
    // Another request's prompt kept the user busy all this time: not granted, still undecided.
    if (!promptDone_.wait_until(lock, deadline, [this] { return !prompting_; })) {
      return {false, std::nullopt};
    }
    prompting_ = true;
  }
  const struct Turn {
    PrivacyGate& gate;
    ~Turn() {
      {
        std::lock_guard lock(gate.promptMutex_);
        gate.prompting_ = false;
      }
      gate.promptDone_.notify_one();
    }
  } turn{*this};
  // Another request may have had its answer while this one waited.
  const AuthorizationStatus current = status(entity);
  if (auto answer = settled(entity, current)) return *answer;

  const std::string name(toRaw(entity));
  if (!prompt) {
    if (current == AuthorizationStatus::writeOnly) {
      return {false, "Only adding to " + name + " is allowed."};
    }
    if (current != AuthorizationStatus::notDetermined) {
      return {false, "The permission recorded for " + name + " cannot be read."};
    }
    // The answer stands for this request; record() has reported a failed write.
    static_cast<void>(record(entity, AuthorizationStatus::granted));
    return {true, std::nullopt};
  }
  const std::optional<bool> answer = prompt(entity, deadline);
  if (!answer) return {false, std::nullopt};
  if (*answer) {
    // The answer stands for this request; record() has reported a failed write.
    static_cast<void>(record(entity, AuthorizationStatus::granted));
    return {true, std::nullopt};
  }
  // Declining full access keeps the narrower access the user already gave.
  if (current != AuthorizationStatus::writeOnly) {
    static_cast<void>(record(entity, AuthorizationStatus::denied));  // as above
  }
  return {false, std::nullopt};
}

void PrivacyGate::requestAccessInBackground(std::vector<PrivacyEntity> entities) {
  std::thread([this, entities = std::move(entities)] {
    for (const auto entity : entities) requestAccess(entity);
  }).detach();
}

void PrivacyGate::setPrompt(Prompt prompt) {
  std::lock_guard lock(hookMutex_);
  prompt_ = std::move(prompt);
}

void PrivacyGate::setPromptTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(hookMutex_);
  promptTimeout_ = timeout;
}

Result<AuthorizationStatus, std::string> PrivacyGate::setStatus(PrivacyEntity entity,
                                                                AuthorizationStatus status) {
  if (status == AuthorizationStatus::unknown) return fail(std::string("unknown is not a status"));
  return record(entity, status);
}

Result<AuthorizationStatus, std::string> PrivacyGate::record(PrivacyEntity entity,
                                                             AuthorizationStatus status) {
  PimWarnings warnings;
  std::optional<std::string> failure;
  {
    std::lock_guard lock(fileMutex_);
    nlohmann::json content = document_.read(folder(), warnings);
    const std::string key(toRaw(entity));
    if (status == AuthorizationStatus::notDetermined) {
      content.erase(key);
    } else {
      content[key] = std::string(toRaw(status));
    }
    failure = document_.write(folder(), content, warnings);
    if (failure) {
      warnings.push_back("The " + key + " permission could not be recorded: " + *failure);
    }
  }
  emitPimWarnings(warnings);
  if (failure) return fail(*failure);
  return status;
}

}  // namespace tvrn
