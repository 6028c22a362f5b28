#include "tools/common/ServiceSnapshot.h"

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

std::optional<bool> flag(std::string_view service, std::string_view member) {
  const nlohmann::json found = entry(service);
  if (!found.is_object()) return std::nullopt;
  const auto value = found.find(member);
  if (value == found.end() || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

}  // namespace tvrn::ServiceSnapshot
