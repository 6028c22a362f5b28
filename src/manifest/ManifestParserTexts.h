// The manifest parser's log lines and the texts it puts into a manifest.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::ManifestParserTexts {

inline constexpr std::string_view kLogCategory = "manifest";
inline constexpr std::string_view kParseFailed = "XML parse failed: ";
inline constexpr std::string_view kNoErrorText = "unknown";
inline constexpr std::string_view kUnsupportedBehavior = "Unsupported behavior type: ";

inline std::string unknownBehaviorType(std::string_view type) {
  return "Unknown behavior type '" + std::string(type) + "' \u2014 treating as text";
}

inline std::string nestedTooDeep(std::size_t limit) {
  return "elements nest deeper than " + std::to_string(limit) + " levels";
}

}  // namespace tvrn::ManifestParserTexts
