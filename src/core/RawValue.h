// Enumerations whose cases have a fixed text form (tool kinds, manifest types) map to it with
// `toRaw` overloads and back with a `fromRaw<Enum>` specialisation. Reading is exact and
// case-sensitive; any other text gives no value.
#pragma once

#include <optional>
#include <string_view>

namespace tvrn {

template <typename Enum>
std::optional<Enum> fromRaw(std::string_view raw);

}  // namespace tvrn
