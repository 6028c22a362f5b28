#include "platform/EnvironmentKey.h"

#include <cstdlib>
#include <cstring>

extern "C" char** environ;

namespace tvrn {
namespace {

bool sameEntries(const std::vector<const char*>& entries) {
  const char* const* entry = environ;
  if (entry == nullptr) return entries.empty();
  for (const char* kept : entries) {
    if (*entry != kept) return false;
    ++entry;
  }
  return *entry == nullptr;
}

}  // namespace

EnvironmentKey::EnvironmentKey(const std::vector<const char*>& names) {
  values_.reserve(names.size());
  for (const char* name : names) {
    const char* value = std::getenv(name);
    values_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries_.push_back(*entry);
  }
}

bool EnvironmentKey::stillHolds() const {
  if (sameEntries(entries_)) return true;
  for (const auto& [name, taken] : values_) {
    const char* value = std::getenv(name);
    if (value == nullptr ? taken.has_value() : !taken || std::strcmp(value, taken->c_str()) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace tvrn
