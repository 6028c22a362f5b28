#include "manifest/EngineVersion.h"

#include <cstddef>

namespace tvrn {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The run of digits at `at`, without its leading zeros; `at` moves past the run.
std::string_view digitRun(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && isDigit(text[at])) ++at;
  std::string_view run = text.substr(start, at - start);
  while (run.size() > 1 && run.front() == '0') run.remove_prefix(1);
  return run;
}

}  // namespace

int compareVersions(std::string_view left, std::string_view right) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < left.size() && j < right.size()) {
    if (isDigit(left[i]) && isDigit(right[j])) {
      const std::string_view a = digitRun(left, i);
      const std::string_view b = digitRun(right, j);
      // Without leading zeros, the longer run is the larger number.
      if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
      if (const int order = a.compare(b); order != 0) return order < 0 ? -1 : 1;
      continue;
    }
    if (left[i] != right[j]) return left[i] < right[j] ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < left.size()) return 1;
  if (j < right.size()) return -1;
  return 0;
}

}  // namespace tvrn
