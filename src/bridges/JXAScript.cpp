#include "bridges/JXAScript.h"

namespace tvrn::JXAScript {

std::string wrap(std::string_view script) {
  std::string wrapped =
      "(function() {\n"
      "  try {\n"
      "    var result = (function() { ";
  wrapped += script;
  wrapped +=
      " })();\n"
      "    return JSON.stringify(result);\n"
      "  } catch(e) {\n"
      "    return JSON.stringify({ __error__: e.toString() });\n"
      "  }\n"
      "})()";
  return wrapped;
}

std::string targetApplication(std::string_view script) {
  constexpr std::string_view kCall = "Application(";
  const auto isQuote = [](char c) { return c == '\'' || c == '"'; };
  for (std::size_t at = script.find(kCall); at != std::string_view::npos;
       at = script.find(kCall, at + 1)) {
    std::size_t open = at + kCall.size();
    if (open >= script.size() || !isQuote(script[open])) continue;
    // The name runs to the next quote of either kind; it can hold no quote, so there is only
    // one way for the rest of the call to match.
    std::size_t close = open + 1;
    while (close < script.size() && !isQuote(script[close])) ++close;
    if (close == open + 1 || close + 1 >= script.size() || script[close + 1] != ')') continue;
    return std::string(script.substr(open + 1, close - open - 1));
  }
  return "the target app";
}

JXAResult parseOutput(std::string_view output) {
  std::optional<nlohmann::json> parsed = JSONValue::parseUntyped(output);
  if (!parsed || !(parsed->is_object() || parsed->is_array())) {
    return fail(JXAError::jsonParseError(output));
  }
  return *std::move(parsed);
}

ToolResult toToolResult(const nlohmann::json& value, std::string_view script) {
  if (value.is_object()) {
    const auto thrown = value.find("__error__");
    if (thrown != value.end() && thrown->is_string()) {
      const auto& text = thrown->get_ref<const std::string&>();
      if (looksLikeTCCDenial(text)) {
        return fail(ToolError::permissionDenied(
            JXAError::permissionDeniedMessage(targetApplication(script))));
      }
      return fail(ToolError::executionFailed("JXA: " + text));
    }
  }
  return anyToJSONValue(value);
}

}  // namespace tvrn::JXAScript
