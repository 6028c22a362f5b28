#include "platform/EnvironmentKey.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// The variables looked up in the glance open on this thread: several keys name the same ones, and
// each is looked up once per glance. A key that no longer holds starts the lookups afresh, as the
// one made in its place (or it, asked again) must see what has changed since.
struct Looked {
  std::uint64_t glance = 0;
  std::array<std::pair<const char*, const char*>, 8> values{};  // name, value (null: unset)
  std::size_t count = 0;

  const char* value(std::uint64_t open, const char* name) {
    if (open == 0) return std::getenv(name);
    if (glance != open) glance = open, count = 0;
    for (std::size_t index = 0; index < count; ++index) {
      if (std::strcmp(values[index].first, name) == 0) return values[index].second;
    }
    const char* found = std::getenv(name);
    if (count < values.size()) values[count++] = {name, found};
    return found;
  }
  void forget() { count = 0; }
};
thread_local Looked looked;

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
    const char* value = looked.value(glance, name);
    if (value == nullptr ? taken.has_value() : !taken || std::strcmp(value, taken->c_str()) != 0) {
      looked.forget();
      return false;
    }
  }
  held.remember(glance, this);
  return true;
}

}  // namespace tvrn
