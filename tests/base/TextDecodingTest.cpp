#include <gtest/gtest.h>

#include "base/TextDecoding.h"

namespace tvrn {
namespace {

using TextDecoding::Encoding;

struct DecodeCase {
  Encoding encoding;
  std::string bytes;
  std::optional<std::string> text;
};

TEST(TextDecodingTest, DecodesOrRefusesEachEncoding) {
  const std::vector<DecodeCase> cases = {
      {Encoding::utf8, "caf\xC3\xA9", "caf\xC3\xA9"},
      {Encoding::utf8, "caf\xE9", std::nullopt},
      {Encoding::utf8, "\xED\xA0\x80", std::nullopt},  // an encoded surrogate
      {Encoding::cp1252, "\x80 \x93x\x94", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
      {Encoding::cp1252, "\xE9", "\xC3\xA9"},
      {Encoding::cp1252, "a\x81", std::nullopt},
      {Encoding::cp1252, "\x8D", std::nullopt},
      {Encoding::cp1252, "\x8F", std::nullopt},
      {Encoding::cp1252, "\x90", std::nullopt},
      {Encoding::cp1252, "\x9D", std::nullopt},
      {Encoding::latin1, "\x81\xFF", "\xC2\x81\xC3\xBF"},
      {Encoding::ascii, "plain", "plain"},
      {Encoding::ascii, "\x80", std::nullopt},
      {Encoding::utf16, std::string("\x00h\x00i", 4), "hi"},
      {Encoding::utf16, std::string("\xFF\xFEh\x00i\x00", 6), "hi"},
      {Encoding::utf16, std::string("\xFE\xFF\xD8\x3D\xDE\x00", 6), "\xF0\x9F\x98\x80"},
      {Encoding::utf16, std::string("\x00h\x00", 3), std::nullopt},
      {Encoding::utf16, std::string("\xD8\x3D\x00h", 4), std::nullopt},
      {Encoding::utf16, std::string("\xDE\x00", 2), std::nullopt},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(TextDecoding::decode(c.bytes, c.encoding), c.text) << c.bytes;
  }
}

TEST(TextDecodingTest, NamesIgnoreLetterCase) {
  EXPECT_EQ(TextDecoding::fromName("UTF-8"), Encoding::utf8);
  EXPECT_EQ(TextDecoding::fromName("Windows-1252"), Encoding::cp1252);
  EXPECT_EQ(TextDecoding::fromName("ebcdic"), std::nullopt);
}

}  // namespace
}  // namespace tvrn
