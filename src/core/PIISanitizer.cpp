#include "core/PIISanitizer.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Utf8.h"

namespace tvrn::PIISanitizer {
namespace {

// The local-part class of an address; also used to find where a run of such characters begins.
#define TVRN_LOCAL_PART "[a-zA-Z0-9._%+\\-]"
// A separator inside a phone number: a hyphen, a dot, or white space in the sense the shapes were
// drawn with (tab, line feed, form feed, carriage return and the Unicode separators). PCRE2's own
// \s would also take vertical tab and next-line.
#define TVRN_SEPARATOR "[\\t\\n\\f\\r\\p{Z}\\-.]"

// An attempt that starts inside a run of local-part characters reaches the same "@" and the same
// domain as one starting where the run begins, so only run starts (and the scan's own start, \G)
// are tried. The matches are the same as without the guard, but where PCRE2 runs without JIT a
// long run that ends in no address costs linear time instead of quadratic.
constexpr std::string_view kEmailPattern =
    "(?:\\G|(?<!" TVRN_LOCAL_PART "))" TVRN_LOCAL_PART "+@[a-zA-Z0-9.\\-]+\\.[a-zA-Z]{2,}";
constexpr std::string_view kPhonePattern =
    "(?:\\+[0-9]{1,3}" TVRN_SEPARATOR ")?(?:\\([0-9]{2,4}\\)|[0-9]{2,4})" TVRN_SEPARATOR
    "?[0-9]{3,4}" TVRN_SEPARATOR "?[0-9]{4,5}";

#undef TVRN_LOCAL_PART
#undef TVRN_SEPARATOR

using Range = std::pair<std::size_t, std::size_t>;

// Text from tools may hold bytes that are not UTF-8. Each stretch of valid text between such
// bytes is searched on its own, so a stray byte hides nothing around it and no match crosses it.
std::vector<Range> validStretches(std::string_view text) {
  std::vector<Range> stretches;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = Utf8::sequenceLength(text.substr(at));
    if (length > 0) {
      at += length;
      continue;
    }
    if (at > start) stretches.emplace_back(start, at);
    start = ++at;
  }
  if (at > start) stretches.emplace_back(start, at);
  return stretches;
}

// A compiled pattern, read-only after construction and so shared by every thread; each search
// makes its own match data.
class Pattern {
 public:
  explicit Pattern(std::string_view source) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(),
                          PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
    if (code_ == nullptr) std::abort();            // the patterns are constants
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // the interpreter runs when JIT is unavailable
  }
  ~Pattern() { pcre2_code_free(code_); }
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Byte ranges of all non-overlapping matches, scanning from the start.
  std::vector<Range> findAll(std::string_view text) const {
    std::vector<Range> matches;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (data == nullptr) return matches;
    for (const auto& [begin, end] : validStretches(text)) {
      findIn(text.substr(begin, end - begin), begin, data, matches);
    }
    pcre2_match_data_free(data);
    return matches;
  }

 private:
  // The stretch is known to be valid UTF-8, so PCRE2 need not check it again on every call; its
  // check would cost the rest of the text each time and make many matches quadratic.
  void findIn(std::string_view stretch, std::size_t base, pcre2_match_data* data,
              std::vector<Range>& matches) const {
    const auto subject = reinterpret_cast<PCRE2_SPTR>(stretch.data());
    std::size_t offset = 0;
    while (offset < stretch.size() && pcre2_match(code_, subject, stretch.size(), offset,
                                                  PCRE2_NO_UTF_CHECK, data, nullptr) > 0) {
      const PCRE2_SIZE* range = pcre2_get_ovector_pointer(data);
      if (range[1] <= range[0]) break;  // neither pattern matches the empty text
      matches.emplace_back(base + range[0], base + range[1]);
      offset = range[1];
    }
  }

  pcre2_code* code_ = nullptr;
};

const Pattern& emailRegex() {
  static const Pattern pattern(kEmailPattern);
  return pattern;
}

const Pattern& phoneRegex() {
  static const Pattern pattern(kPhonePattern);
  return pattern;
}

// Tokens are issued from the last match to the first, so a new address later in the text gets the
// lower number; the text itself is then rebuilt in one forward pass.
std::string replace(const std::string& text, const Pattern& regex, std::string_view prefix,
                    PIISession& session) {
  const auto matches = regex.findAll(text);
  if (matches.empty()) return text;
  std::vector<std::string> tokens(matches.size());
  for (std::size_t i = matches.size(); i-- > 0;) {
    const auto [begin, end] = matches[i];
    tokens[i] = session.tokenize(std::string_view(text).substr(begin, end - begin), prefix);
  }
  std::string replaced;
  replaced.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    replaced.append(text, copied, matches[i].first - copied);
    replaced += tokens[i];
    copied = matches[i].second;
  }
  replaced.append(text, copied);
  return replaced;
}

// Applies a change to every string of the tree, keeping its shape, keys and non-string leaves.
JSONValue mapStrings(const JSONValue& value,
                     const std::function<std::string(const std::string&)>& change) {
  switch (value.kind()) {
    case JSONValue::Kind::stringValue:
      return JSONValue(change(std::get<std::string>(value.storage())));
    case JSONValue::Kind::arrayValue: {
      JSONValue::Array items;
      items.reserve(value.asArray()->size());
      for (const JSONValue& item : *value.asArray()) items.push_back(mapStrings(item, change));
      return JSONValue(std::move(items));
    }
    case JSONValue::Kind::objectValue: {
      JSONValue::Object members;
      for (const auto& [key, member] : *value.asObject()) {
        members.emplace_hint(members.end(), key, mapStrings(member, change));
      }
      return JSONValue(std::move(members));
    }
    default:
      return value;
  }
}

}  // namespace

JSONValue sanitize(const JSONValue& value, PIISession& session) {
  return mapStrings(value, [&session](const std::string& text) {
    return replace(replace(text, emailRegex(), "EMAIL", session), phoneRegex(), "PHONE", session);
  });
}

JSONValue resolve(const JSONValue& value, const PIISession& session) {
  return mapStrings(value,
                    [&session](const std::string& text) { return session.resolveAll(text); });
}

}  // namespace tvrn::PIISanitizer
