// The manifest engine's own version: what manifests declare as their lowest engine, what the
// loader announces and what conditions compare against. It moves with the engine, not with the
// app's version.
#pragma once

#include <string_view>

namespace tvrn {

inline constexpr std::string_view kEngineVersion = "3.0.210";

}  // namespace tvrn
