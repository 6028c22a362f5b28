#include "platform/EnvironmentKey.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/FileWatch.h"

namespace tvrn {
namespace {

// The keys found to hold in the glance open on this thread. A key made at the address of one
// freed in the same glance was taken from the same environment, so it holds as well.
struct Held {
  std::uint64_t glance = 0;
  std::array<const EnvironmentKey*, 8> keys{};
  std::size_t count = 0;

  bool remembers(std::uint64_t open, const EnvironmentKey* key) const {
    if (open == 0 || glance != open) return false;
    for (std::size_t index = 0; index < count; ++index) {
      if (keys[index] == key) return true;
    }
    return false;
  }
  void remember(std::uint64_t open, const EnvironmentKey* key) {
    if (open == 0) return;
    if (glance != open) glance = open, count = 0;
    if (count < keys.size()) keys[count++] = key;
  }
};
thread_local Held held;

}  // namespace

EnvironmentKey::EnvironmentKey(const std::vector<const char*>& names) {
  values_.reserve(names.size());
  for (const char* name : names) {
    const char* value = std::getenv(name);
    values_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
}

bool EnvironmentKey::stillHolds() const {
  const std::uint64_t glance = Readiness::openGlance();
  if (held.remembers(glance, this)) return true;
  for (const auto& [name, taken] : values_) {
    const char* value = std::getenv(name);
    if (value == nullptr ? taken.has_value() : !taken || std::strcmp(value, taken->c_str()) != 0) {
      return false;
    }
  }
  held.remember(glance, this);
  return true;
}

}  // namespace tvrn
