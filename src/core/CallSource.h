// Where a tool call came from: a local AI client (the Unix socket or the status server's bridge)
// or an agent in the cloud through the relay. The raw text is what the audit log records.
#pragma once

#include <optional>
#include <string_view>

#include "core/RawValue.h"

namespace tvrn {

enum class CallSource { local, cloud };

inline std::string_view toRaw(CallSource source) {
  return source == CallSource::cloud ? "cloud" : "local";
}

template <>
inline std::optional<CallSource> fromRaw<CallSource>(std::string_view raw) {
  if (raw == "local") return CallSource::local;
  if (raw == "cloud") return CallSource::cloud;
  return std::nullopt;
}

}  // namespace tvrn
