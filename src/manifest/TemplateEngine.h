// Fills the placeholders of a manifest's texts ("{{name}}", nothing trimmed inside the braces)
// from a tool call's validated parameters. Values are inserted as they are, never escaped.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn {

// Variable name to its text.
using TemplateVars = std::map<std::string, std::string, std::less<>>;

namespace TemplateEngine {

// One pass from left to right: each placeholder naming a variable becomes its value, any other
// stays as written, and inserted values are never looked at again.
std::string render(std::string_view text, const TemplateVars& vars);
// The validated parameters (a JSON object) as variables, then rendered.
std::string render(std::string_view text, const nlohmann::json& params);
// The same filling for a JSON template: values go in unescaped.
std::string renderJSON(std::string_view text, const TemplateVars& vars);

// The string-literal syntax a script's values are escaped for.
enum class ScriptSyntax { appleScript, javaScript };

// Renders a script: each value is escaped so that, inside a string literal of that language, it
// reads back exactly as given and cannot end the literal (AppleScript: \ and "; JavaScript:
// \ ' " ` $, CR, LF, U+2028 and U+2029). Texts that are not scripts render unescaped.
std::string renderScript(std::string_view text, const nlohmann::json& params, ScriptSyntax syntax);

// Strings, integers, floating-point numbers and booleans become variables; other members
// (arrays, objects, null) are left out.
TemplateVars vars(const nlohmann::json& params);

// The names of the placeholders present in the text, in order, repeats included.
std::vector<std::string> unreplacedTokens(std::string_view text);

}  // namespace TemplateEngine
}  // namespace tvrn
