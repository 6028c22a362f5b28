// One session's memory of the personal values it has hidden: each e-mail address or phone number
// gets a short token such as [EMAIL:0001], the same value always the same token, and a token can be
// turned back into the value. Safe to share between threads; nothing of it outlives the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tvrn {

class PIISession {
 public:
  PIISession() = default;
  PIISession(const PIISession&) = delete;
  PIISession& operator=(const PIISession&) = delete;

  // The value's token under this prefix, issuing "[<prefix>:<%04x number>]" (numbered from 1 per
  // prefix) the first time. Values that differ only in letter case or in surrounding spaces and
  // tabs share one token, which resolves to the form seen first.
  std::string tokenize(std::string_view value, std::string_view prefix);

  // The plain value a token stands for.
  std::optional<std::string> resolve(std::string_view token) const;

  // The text with every token of this session replaced by its plain value.
  std::string resolveAll(std::string_view text) const;

  std::size_t tokenCount() const;

  // A copy of the map from token to plain value.
  std::map<std::string, std::string> allTokens() const;

 private:
  mutable std::mutex lock_;  // guards tokenToValue_, valueToToken_ and counters_
  std::map<std::string, std::string, std::less<>> tokenToValue_;
  std::unordered_map<std::string, std::string> valueToToken_;  // "<prefix>:<normalised value>"
  std::map<std::string, std::uint64_t, std::less<>> counters_;
};

}  // namespace tvrn
