#include "tools/messaging/MessagingToolSupport.h"

#include <string>
#include <utility>

#include "core/ToolResponse.h"

namespace tvrn::MessagingToolSupport {

void addIfGiven(nlohmann::json& args, const char* name, const Params::Arguments& arguments) {
  std::string value = Params::optional(name, arguments, "");
  if (!value.empty()) args[name] = std::move(value);
}

std::int64_t limitOf(const Params::Arguments& arguments, std::int64_t fallback) {
  return Params::optionalInt("limit", arguments, fallback);
}

ToolResult asAnswer(ToolResult outcome) {
  if (!outcome) return outcome;
  return ToolResponse::answer(outcome.value());
}

}  // namespace tvrn::MessagingToolSupport
