#include "core/PIISession.h"

#include <algorithm>
#include <cstdio>

namespace tvrn {
namespace {

// Spaces and tabs only: other blanks are part of what was matched and stay in the key.
std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The values the sanitiser finds are ASCII apart from blanks, so ASCII lower-casing gives the
// same key a full Unicode mapping would.
std::string lowerASCII(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

std::string formatToken(std::string_view prefix, std::uint64_t number) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%04llx", static_cast<unsigned long long>(number));
  std::string token = "[";
  token += prefix;
  token += ':';
  token += digits;
  token += ']';
  return token;
}

}  // namespace

std::string PIISession::tokenize(std::string_view value, std::string_view prefix) {
  std::string key(prefix);
  key += ':';
  key += trimSpacesAndTabs(lowerASCII(value));

  std::lock_guard hold(lock_);
  if (auto found = valueToToken_.find(key); found != valueToToken_.end()) return found->second;
  auto counter = counters_.find(prefix);
  if (counter == counters_.end()) counter = counters_.emplace(std::string(prefix), 0).first;
  std::string token = formatToken(prefix, ++counter->second);
  valueToToken_.emplace(std::move(key), token);
  tokenToValue_.emplace(token, std::string(value));
  return token;
}

std::optional<std::string> PIISession::resolve(std::string_view token) const {
  std::lock_guard hold(lock_);
  auto found = tokenToValue_.find(token);
  if (found == tokenToValue_.end()) return std::nullopt;
  return found->second;
}

// One pass from left to right: a value put back is never searched again, so a value that happens
// to contain token-like text cannot be rewritten by a later token, and the result does not depend
// on the order of the map.
std::string PIISession::resolveAll(std::string_view text) const {
  decltype(tokenToValue_) tokens;
  {
    std::lock_guard hold(lock_);
    tokens = tokenToValue_;
  }
  if (tokens.empty()) return std::string(text);
  std::size_t longest = 0;
  for (const auto& entry : tokens) longest = std::max(longest, entry.first.size());

  std::string resolved;
  resolved.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find('[', i);
    if (open == std::string_view::npos) break;
    resolved.append(text.substr(i, open - i));
    const std::size_t close = text.substr(open, longest).find(']');
    if (close != std::string_view::npos) {
      auto found = tokens.find(text.substr(open, close + 1));
      if (found != tokens.end()) {
        resolved += found->second;
        i = open + close + 1;
        continue;
      }
    }
    resolved += '[';
    i = open + 1;
  }
  if (i < text.size()) resolved.append(text.substr(i));
  return resolved;
}

std::size_t PIISession::tokenCount() const {
  std::lock_guard hold(lock_);
  return tokenToValue_.size();
}

std::map<std::string, std::string> PIISession::allTokens() const {
  std::lock_guard hold(lock_);
  return {tokenToValue_.begin(), tokenToValue_.end()};
}

}  // namespace tvrn
