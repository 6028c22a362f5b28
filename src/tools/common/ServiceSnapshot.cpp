#include "tools/common/ServiceSnapshot.h"

namespace tvrn::ServiceSnapshot {

nlohmann::json current(const ServerContext& context) {
  return context.serviceStatus ? context.serviceStatus() : nlohmann::json();
}

nlohmann::json entry(const ServerContext& context, std::string_view key) {
  const nlohmann::json snapshot = current(context);
  if (!snapshot.is_object()) return nullptr;
  const auto found = snapshot.find(key);
  return found != snapshot.end() ? *found : nlohmann::json();
}

std::optional<bool> flag(const ServerContext& context, std::string_view service,
                         std::string_view member) {
  const nlohmann::json found = entry(context, service);
  if (!found.is_object()) return std::nullopt;
  const auto value = found.find(member);
  if (value == found.end() || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

}  // namespace tvrn::ServiceSnapshot
