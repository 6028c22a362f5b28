#include "platform/EnvironmentKey.h"

#include <cstdlib>
#include <cstring>

namespace tvrn {

EnvironmentKey::EnvironmentKey(const std::vector<const char*>& names) {
  values_.reserve(names.size());
  for (const char* name : names) {
    const char* value = std::getenv(name);
    values_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
}

bool EnvironmentKey::stillHolds() const {
  for (const auto& [name, taken] : values_) {
    const char* value = std::getenv(name);
    if (value == nullptr ? taken.has_value() : !taken || std::strcmp(value, taken->c_str()) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace tvrn
