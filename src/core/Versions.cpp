#include "core/Versions.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include "platform/FileStore.h"
#include "platform/Paths.h"

namespace tvrn::Versions {
namespace {

std::optional<std::int64_t> signedDecimal(std::string_view piece) {
  // One sign at most: from_chars takes a "-" but no "+".
  if (!piece.empty() && piece.front() == '+') {
    piece.remove_prefix(1);
    if (!piece.empty() && piece.front() == '-') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
  return value;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

std::vector<std::int64_t> components(std::string_view version) {
  std::vector<std::int64_t> numbers;
  while (true) {
    const auto dot = version.find('.');
    if (const auto number = signedDecimal(version.substr(0, dot))) numbers.push_back(*number);
    if (dot == std::string_view::npos) break;
    version.remove_prefix(dot + 1);
  }
  return numbers;
}

bool isNewer(std::string_view a, std::string_view b) {
  const auto left = components(a);
  const auto right = components(b);
  const std::size_t length = std::max(left.size(), right.size());
  for (std::size_t i = 0; i < length; ++i) {
    const std::int64_t x = i < left.size() ? left[i] : 0;
    const std::int64_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x > y;
  }
  return false;
}

std::int64_t patchNumber(std::string_view version) {
  const auto numbers = components(version);
  if (numbers.size() >= 3) return numbers[2];
  return numbers.empty() ? 0 : numbers.back();
}

std::optional<std::string> readVersionFile(std::string_view relativePath) {
  const auto text = FileStore::read(Paths::localShare() / std::filesystem::path(relativePath));
  if (!text) return std::nullopt;
  const std::string_view version = trimmed(*text);
  if (version.empty()) return std::nullopt;
  return std::string(version);
}

}  // namespace tvrn::Versions
