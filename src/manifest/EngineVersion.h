// The manifest engine's own version: what manifests declare as their lowest engine, what the
// loader announces and what conditions compare against. It moves with the engine, not with the
// app's version.
#pragma once

#include <string_view>

namespace tvrn {

inline constexpr std::string_view kEngineVersion = "3.0.210";

// Orders two version texts as people read them: runs of digits compare by their value (so 3.0.99
// comes before 3.0.210), every other character by itself. Negative, zero or positive.
int compareVersions(std::string_view left, std::string_view right);

}  // namespace tvrn
