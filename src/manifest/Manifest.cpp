#include "manifest/Manifest.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>

namespace tvrn {

std::string_view toRaw(ParamType type) {
  switch (type) {
    case ParamType::string:
      return "string";
    case ParamType::integer:
      return "int";
    case ParamType::boolean:
      return "bool";
    case ParamType::email:
      return "email";
    case ParamType::array:
      return "array";
  }
  return "string";
}

template <>
std::optional<ParamType> fromRaw<ParamType>(std::string_view raw) {
  for (ParamType type : {ParamType::string, ParamType::integer, ParamType::boolean,
                         ParamType::email, ParamType::array}) {
    if (toRaw(type) == raw) return type;
  }
  return std::nullopt;
}

std::string_view toRaw(PartialFailurePolicy policy) {
  switch (policy) {
    case PartialFailurePolicy::abort:
      return "abort";
    case PartialFailurePolicy::includeErrors:
      return "include_errors";
  }
  return "abort";
}

template <>
std::optional<PartialFailurePolicy> fromRaw<PartialFailurePolicy>(std::string_view raw) {
  for (auto policy : {PartialFailurePolicy::abort, PartialFailurePolicy::includeErrors}) {
    if (toRaw(policy) == raw) return policy;
  }
  return std::nullopt;
}

BehaviorSpec::BehaviorSpec() {
  // Every default-made behaviour (a tool not yet given one, a missing branch) shares one payload.
  static const std::shared_ptr<const Node> emptyText = makeNode(Text{});
  node_ = emptyText;
}

std::shared_ptr<const BehaviorSpec::Node> BehaviorSpec::makeNode(Cases value) {
  return std::make_shared<const Node>(Node{std::move(value)});
}

BehaviorSpec::Kind BehaviorSpec::kind() const { return static_cast<Kind>(node_->value.index()); }

const BehaviorSpec::Cases& BehaviorSpec::cases() const { return node_->value; }

bool BehaviorSpec::operator==(const BehaviorSpec& other) const {
  return node_ == other.node_ || node_->value == other.node_->value;
}

std::optional<std::int64_t> parseManifestInt(std::string_view text) {
  const auto isAsciiDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isAsciiDigit)) {
    return std::nullopt;
  }
  // from_chars takes a "-" but not a "+", and reports a value past 64 bits as out of range.
  std::string_view number = text.front() == '+' ? digits : text;
  std::int64_t result = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), result);
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return result;
}

std::optional<std::string> ManifestConfig::value(const std::string& key) const {
  if (entries.empty()) return std::nullopt;
  auto found = entries.find(key);
  if (found == entries.end()) return std::nullopt;
  return found->second;
}

namespace {

bool isRefusedLeadingChar(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The process locale may be the user's (the tray sets it), so numbers are read in the C locale.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

std::optional<double> parseCDouble(const std::string& text) {
  if (text.empty() || isRefusedLeadingChar(text.front())) return std::nullopt;
  char* end = nullptr;
  double result = strtod_l(text.c_str(), &end, cLocale());
  // Comparing with the length also refuses a NUL inside the text, where strtod stops.
  if (end != text.c_str() + text.size()) return std::nullopt;
  return result;
}

}  // namespace

std::optional<std::int64_t> ManifestConfig::asInt(const std::string& key) const {
  auto text = value(key);
  if (!text) return std::nullopt;
  return parseManifestInt(*text);
}

std::optional<double> ManifestConfig::asDouble(const std::string& key) const {
  auto text = value(key);
  if (!text) return std::nullopt;
  return parseCDouble(*text);
}

}  // namespace tvrn
