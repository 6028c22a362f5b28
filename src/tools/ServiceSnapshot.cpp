#include "tools/ServiceSnapshot.h"

#include <mutex>
#include <utility>

namespace tvrn::ServiceSnapshot {
namespace {

std::mutex& sourceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<nlohmann::json()>& source() {  // guarded by sourceMutex()
  static auto& installed = *new std::function<nlohmann::json()>();
  return installed;
}

}  // namespace

void setSource(std::function<nlohmann::json()> next) {
  std::lock_guard hold(sourceMutex());
  source() = std::move(next);
}

nlohmann::json current() {
  std::function<nlohmann::json()> installed;
  {
    std::lock_guard hold(sourceMutex());
    installed = source();
  }
  return installed ? installed() : nlohmann::json();
}

nlohmann::json entry(std::string_view key) {
  const nlohmann::json snapshot = current();
  if (!snapshot.is_object()) return nullptr;
  const auto found = snapshot.find(key);
  return found != snapshot.end() ? *found : nlohmann::json();
}

}  // namespace tvrn::ServiceSnapshot
