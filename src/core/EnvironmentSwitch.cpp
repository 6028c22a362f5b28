#include "core/EnvironmentSwitch.h"

#include <array>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/Logger.h"

namespace tvrn::EnvironmentSwitch {
namespace {

constexpr std::array<std::string_view, 4> kOn = {"1", "true", "yes", "on"};
constexpr std::array<std::string_view, 5> kOff = {"", "0", "false", "no", "off"};

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowered(a[i]) != lowered(b[i])) return false;
  }
  return true;
}

template <std::size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& words) {
  for (const std::string_view word : words) {
    if (sameIgnoringCase(value, word)) return true;
  }
  return false;
}

// Every call of a tool reads the switches, so a value not understood is reported when it is
// first met, not at each call.
void warnOnce(const char* name, std::string_view value) {
  static std::mutex mutex;
  static auto& warned = *new std::map<std::string, std::string>;  // guarded by mutex
  {
    std::lock_guard hold(mutex);
    auto [entry, added] = warned.try_emplace(name, value);
    if (!added && entry->second == value) return;
    entry->second = value;
  }
  Logger::warn("config", std::string(name) + "=\"" + std::string(value) +
                             "\" is neither on (1, true, yes, on) nor off (0, false, no, off, "
                             "empty); taken as on");
}

}  // namespace

bool isOn(const char* name) {
  const char* set = std::getenv(name);
  if (set == nullptr) return false;
  const std::string_view value(set);
  if (isOneOf(value, kOn)) return true;
  if (isOneOf(value, kOff)) return false;
  warnOnce(name, value);
  return true;
}

}  // namespace tvrn::EnvironmentSwitch
