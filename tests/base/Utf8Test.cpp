#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/Utf8.h"

namespace tvrn {
namespace {

constexpr const char* kFFFD = "\xEF\xBF\xBD";

std::string replaced(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += kFFFD;
  return text;
}

TEST(Utf8Test, ReplacesEachMaximalIllFormedPieceOnce) {
  struct Row {
    const char* name;
    std::string bytes;
    std::string repaired;
  };
  const Row rows[] = {
      {"plain and multi-byte text", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", ""},
      {"stray continuation",
       "a\x80"
       "b",
       "a" + replaced(1) + "b"},
      {"overlong two-byte form", "\xC0\xAF", replaced(2)},
      {"overlong three-byte form", "\xE0\x80\xAF", replaced(3)},
      {"surrogate", "\xED\xA0\x80", replaced(3)},
      {"past U+10FFFF", "\xF4\x90\x80\x80", replaced(4)},
      {"cut short at the end", "x\xF0\x9F\x98", "x" + replaced(1)},
      {"cut short before ASCII",
       "\xE2\x82"
       "A",
       replaced(1) + "A"},
      {"bytes that never start anything", "\xF5\xFF", replaced(2)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const bool valid = row.repaired.empty();
    EXPECT_EQ(Utf8::isValid(row.bytes), valid);
    EXPECT_EQ(Utf8::replaceInvalid(row.bytes), valid ? row.bytes : row.repaired);
  }
}

// Each piece after runs of ASCII that end before, at and past the edges of the runs passed over
// at once, with and without ASCII after it: where it stands does not change the answer.
TEST(Utf8Test, JudgesAPieceWhereverTheAsciiBeforeItEnds) {
  const std::pair<std::string, bool> pieces[] = {
      {"\xC3\xA9", true}, {"\xF0\x9F\x98\x80", true}, {"\x80", false},
      {"\xC3", false},    {"\xED\xA0\x80", false},    {"\xF5", false},
  };
  for (const auto& [piece, valid] : pieces) {
    for (std::size_t before = 0; before < 40; ++before) {
      for (const std::size_t after : {0, 1, 20}) {
        const std::string text = std::string(before, 'a') + piece + std::string(after, 'b');
        EXPECT_EQ(Utf8::isValid(text), valid) << before << " before, " << after << " after";
      }
    }
  }
}

TEST(Utf8Test, DecodesTrimsAndCutsWholeCharacters) {
  char32_t codePoint = 0;
  EXPECT_EQ(Utf8::decode("\xF0\x9F\x98\x80!", codePoint), 4u);
  EXPECT_EQ(codePoint, U'\U0001F600');
  EXPECT_EQ(Utf8::sequenceLength(""), 0u);

  // Ideographic space, next-line and no-break space are white space; a zero-width space is not.
  EXPECT_EQ(Utf8::trim("\xE3\x80\x80\t\xC2\x85 mid dle\xC2\xA0\n", Utf8::isWhiteSpace), "mid dle");
  EXPECT_EQ(Utf8::trim("\xE2\x80\x8Bx", Utf8::isWhiteSpace), "\xE2\x80\x8Bx");
  EXPECT_EQ(Utf8::trim(" \n ", Utf8::isWhiteSpace), "");

  const std::string text = "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80";  // "été 😀"
  EXPECT_EQ(Utf8::firstCharacters(text, 2), "\xC3\xA9t");
  EXPECT_EQ(Utf8::lastCharacters(text, 2), " \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8::firstCharacters(text, 9), text);
  EXPECT_EQ(Utf8::lastCharacters(text, 0), "");

  // A character is what a reader sees: a letter with a combining accent, a thumbs-up with its
  // skin tone and a flag each count once and are never cut apart.
  const std::string accent = "e\xCC\x81";                         // e + combining acute
  const std::string thumbs = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up, medium skin tone
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";    // regional F + R
  const std::string clustered = accent + thumbs + flag + "z";
  EXPECT_EQ(Utf8::firstCharacters(clustered, 1), accent);
  EXPECT_EQ(Utf8::firstCharacters(clustered, 2), accent + thumbs);
  EXPECT_EQ(Utf8::lastCharacters(clustered, 2), flag + "z");
  EXPECT_EQ(Utf8::lastCharacters(clustered, 3), thumbs + flag + "z");
}

}  // namespace
}  // namespace tvrn
