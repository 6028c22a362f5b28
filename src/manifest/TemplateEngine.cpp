#include "manifest/TemplateEngine.h"

#include <charconv>
#include <cstddef>

namespace tvrn {

namespace {

constexpr std::string_view kOpen = "{{";
constexpr std::string_view kClose = "}}";

// The shortest text that reads back as the same number, with ".0" on whole numbers so a
// floating-point value never reads as an integer.
std::string floatingText(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

std::string escapedForAppleScript(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string escapedForJavaScript(std::string_view value) {
  constexpr std::string_view kLineSeparator = "\u2028";
  constexpr std::string_view kParagraphSeparator = "\u2029";
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const std::string_view rest = value.substr(i);
    if (rest.starts_with(kLineSeparator) || rest.starts_with(kParagraphSeparator)) {
      out += rest.starts_with(kLineSeparator) ? "\\u2028" : "\\u2029";
      i += kLineSeparator.size() - 1;
      continue;
    }
    switch (const char c = value[i]) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
      case '\'':
      case '"':
      case '`':
      case '$':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string TemplateEngine::render(std::string_view text, const TemplateVars& vars) {
  std::string out;
  out.reserve(text.size());
  std::size_t close = 0;  // the first "}}" at or after the current placeholder's name
  std::size_t at = 0;
  while (true) {
    const std::size_t open = text.find(kOpen, at);
    if (open == std::string_view::npos) break;
    if (close < open + kOpen.size()) close = text.find(kClose, open + kOpen.size());
    if (close == std::string_view::npos) break;
    const std::string_view name = text.substr(open + kOpen.size(), close - open - kOpen.size());
    auto found = vars.find(name);
    if (found == vars.end()) {
      // Not a variable: keep one brace and look again from the next character, so "{{{a}}"
      // still fills "{{a}}".
      out.append(text.substr(at, open + 1 - at));
      at = open + 1;
      continue;
    }
    out.append(text.substr(at, open - at));
    out.append(found->second);
    at = close + kClose.size();
  }
  out.append(text.substr(at));
  return out;
}

std::string TemplateEngine::render(std::string_view text, const nlohmann::json& params) {
  return render(text, vars(params));
}

std::string TemplateEngine::renderScript(std::string_view text, const nlohmann::json& params,
                                         ScriptSyntax syntax) {
  TemplateVars escaped = vars(params);
  for (auto& [name, value] : escaped) {
    value = syntax == ScriptSyntax::appleScript ? escapedForAppleScript(value)
                                                : escapedForJavaScript(value);
  }
  return render(text, escaped);
}

std::string TemplateEngine::renderJSON(std::string_view text, const TemplateVars& vars) {
  return render(text, vars);
}

TemplateVars TemplateEngine::vars(const nlohmann::json& params) {
  TemplateVars result;
  if (!params.is_object()) return result;
  for (const auto& [name, value] : params.items()) {
    if (value.is_string()) {
      result.emplace(name, value.get<std::string>());
    } else if (value.is_number_integer()) {
      result.emplace(name, value.dump());
    } else if (value.is_number_float()) {
      result.emplace(name, floatingText(value.get<double>()));
    } else if (value.is_boolean()) {
      result.emplace(name, value.get<bool>() ? "true" : "false");
    }
  }
  return result;
}

std::vector<std::string> TemplateEngine::unreplacedTokens(std::string_view text) {
  // A placeholder is "{{", one or more characters other than "}", and "}}".
  std::vector<std::string> names;
  std::size_t at = 0;
  while (true) {
    const std::size_t open = text.find(kOpen, at);
    if (open == std::string_view::npos) break;
    const std::size_t nameStart = open + kOpen.size();
    const std::size_t brace = text.find('}', nameStart);
    if (brace == std::string_view::npos) break;
    if (brace > nameStart && text.substr(brace).starts_with(kClose)) {
      names.emplace_back(text.substr(nameStart, brace - nameStart));
      at = brace + kClose.size();
    } else {
      // No placeholder can start before this brace: every one would end at it.
      at = brace == nameStart ? open + 1 : brace - 1;
    }
  }
  return names;
}

}  // namespace tvrn
