#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Base64.h"
#include "platform/PercentEncoding.h"

namespace tvrn {
namespace {

TEST(PercentEncodingTest, EscapesEverythingButUnreservedCharactersInEachPlace) {
  struct Case {
    std::string text, encoded;
  };
  const Case cases[] = {
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b+c", "a%20b%2Bc"},
      {"x/../me?$y", "x%2F..%2Fme%3F%24y"},
      {"a&b=c\"d#e%", "a%26b%3Dc%22d%23e%25"},
      {"\xC3\xA9", "%C3%A9"},
      {std::string("\0\n", 2), "%00%0A"},
  };
  for (const auto& [text, encoded] : cases) {
    EXPECT_EQ(PercentEncoding::pathSegment(text), encoded) << text;
    EXPECT_EQ(PercentEncoding::queryValue(text), encoded) << text;
    EXPECT_EQ(PercentEncoding::formValue(text), encoded) << text;
  }
}

TEST(Base64Test, DecodesOnlyWellFormedTextInEachAlphabet) {
  struct Case {
    std::string text;
    std::optional<std::string> standard, url;
  };
  const Case cases[] = {
      {"", "", ""},
      {"aGk=", "hi", "hi"},
      {"aGk", std::nullopt, "hi"},
      {"aGVsbG8/", "hello?", std::nullopt},
      {"aGVsbG8_", std::nullopt, "hello?"},
      {"aGVsbG8+", "hello>", std::nullopt},
      {"aGVsbG8-", std::nullopt, "hello>"},
      {" aGk=", std::nullopt, std::nullopt},
      {"aGk=\n", std::nullopt, std::nullopt},
      {"a=Gk", std::nullopt, std::nullopt},
      {"a===", std::nullopt, std::nullopt},
      {"====", std::nullopt, std::nullopt},
      {"aGk*", std::nullopt, std::nullopt},
      {"a", std::nullopt, std::nullopt},
  };
  for (const auto& [text, standard, url] : cases) {
    EXPECT_EQ(Base64::decode(text), standard) << text;
    EXPECT_EQ(Base64::decodeURL(text), url) << text;
  }
  const std::string bytes("\xFB\xFF\x00 ok", 6);
  EXPECT_EQ(Base64::encode(bytes), "+/8AIG9r");
  EXPECT_EQ(Base64::encodeURL(bytes), "-_8AIG9r");
  EXPECT_EQ(Base64::encodeURL("hi"), "aGk");
  EXPECT_EQ(Base64::decodeURL(Base64::encodeURL(bytes)), bytes);
}

}  // namespace
}  // namespace tvrn
