#include "pim/PrivacyGate.h"

#include <algorithm>
#include <atomic>
#include <memory>
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

constexpr std::string_view kFileName = "authorization.json";

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

PrivacyGate::PrivacyGate(PimWarningHandler warn)
    : warn_(std::move(warn)),
      document_(std::string(kFileName),
                [](const nlohmann::json&) -> std::optional<std::string> { return std::nullopt; }),
      statuses_({"HOME", "XDG_CONFIG_HOME"},
                [this](FileWatch& watch) { return readStatuses(watch); }) {}

std::filesystem::path PrivacyGate::file() { return folder() / kFileName; }

std::string PrivacyGate::withoutTray(std::string_view entry) {
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
  emitPimWarnings(warnings, warn_);
  return {std::move(statuses), complete};
}

AccessAnswer PrivacyGate::requestAccess(PrivacyEntity entity) {
  const AuthorizationStatus current = status(entity);
  if (auto answer = settled(entity, current)) return *answer;
  std::uint64_t round = 0;
  std::chrono::steady_clock::time_point deadline;
  {
    std::lock_guard lock(stateMutex_);
    round = round_;
    deadline = std::chrono::steady_clock::now() + promptTimeout_;
  }
  if (!enqueue(entity)) {
    const std::string name(toRaw(entity));
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
  showNext();
  std::unique_lock lock(stateMutex_);
  const bool closed =
      promptClosed_.wait_until(lock, deadline, [&] { return round_ != round || !pending(entity); });
  // The user kept the prompt waiting: not granted, still undecided, the prompt still up.
  if (!closed || round_ != round) return {false, std::nullopt};
  const auto answer = answers_.find(entity);
  if (answer != answers_.end()) return {answer->second.value_or(false), std::nullopt};
  lock.unlock();
  // Decided before its prompt's turn came.
  return settled(entity, status(entity)).value_or(AccessAnswer{false, std::nullopt});
}

void PrivacyGate::requestAccessInBackground(std::vector<PrivacyEntity> entities, Asker asker) {
  bool prompting = false;
  for (const auto entity : entities) {
    if (!settled(entity, status(entity))) prompting = enqueue(entity, asker);
  }
  if (prompting) return showNext();
  // Nobody to ask: each is decided at once, the way a request decides it.
  for (const auto entity : entities) static_cast<void>(requestAccess(entity));
}

bool PrivacyGate::enqueue(PrivacyEntity entity, Asker asker) {
  std::lock_guard lock(stateMutex_);
  if (!prompt_) return false;
  const bool firstAsk = asked_.insert(entity).second;
  if (firstAsk || (asker == Asker::user && !pending(entity))) waiting_.push_back(entity);
  return true;
}

bool PrivacyGate::pending(PrivacyEntity entity) const {
  return showing_ == entity ||
         std::find(waiting_.begin(), waiting_.end(), entity) != waiting_.end();
}

void PrivacyGate::showNext() {
  for (;;) {
    Prompt prompt;
    PrivacyEntity entity{};
    std::uint64_t round = 0;
    {
      std::lock_guard lock(stateMutex_);
      if (showing_ || waiting_.empty() || !prompt_) return;
      entity = waiting_.front();
      waiting_.pop_front();
      showing_ = entity;
      prompt = prompt_;
      round = round_;
    }
    // Decided while it waited in line (on the privacy page, say): nothing to ask.
    if (!settled(entity, status(entity))) {
      auto once = std::make_shared<std::atomic_flag>();
      return prompt(entity, [this, once, round, entity](std::optional<bool> answer) {
        if (!once->test_and_set()) promptClosed(round, entity, answer);
      });
    }
    {
      std::lock_guard lock(stateMutex_);
      if (round_ == round) showing_.reset();
    }
    promptClosed_.notify_all();
  }
}

void PrivacyGate::promptClosed(std::uint64_t round, PrivacyEntity entity,
                               std::optional<bool> answer) {
  // The user's answer stands whenever it comes; record() has reported a failed write.
  if (answer == true) {
    static_cast<void>(record(entity, AuthorizationStatus::granted));
  } else if (answer == false && status(entity) != AuthorizationStatus::writeOnly) {
    // Declining full access keeps the narrower access the user already gave.
    static_cast<void>(record(entity, AuthorizationStatus::denied));
  }
  {
    std::lock_guard lock(stateMutex_);
    if (round_ != round || showing_ != entity) return;
    showing_.reset();
    answers_[entity] = answer;
  }
  promptClosed_.notify_all();
  showNext();
}

void PrivacyGate::setPrompt(Prompt prompt) {
  {
    std::lock_guard lock(stateMutex_);
    prompt_ = std::move(prompt);
    ++round_;
    waiting_.clear();
    showing_.reset();
    asked_.clear();
    answers_.clear();
  }
  promptClosed_.notify_all();
}

void PrivacyGate::setPromptTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(stateMutex_);
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
  emitPimWarnings(warnings, warn_);
  if (failure) return fail(*failure);
  return status;
}

}  // namespace tvrn
