#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/Base64.h"

namespace tvrn {
namespace {

// Percent-encoding is pinned by the exact addresses and form bodies the web-service tests expect.
TEST(Base64Test, DecodesOnlyWellFormedTextInEachAlphabet) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> standard = {
      {"", ""},
      {"aGk=", "hi"},
      {"aGVsbG8/", "hello?"},
      {"aGk", std::nullopt},
      {"aGVsbG8_", std::nullopt}};
  const std::vector<std::pair<std::string, std::optional<std::string>>> url = {
      {"aGk", "hi"}, {"aGk=", "hi"}, {"aGVsbG8_", "hello?"}, {"aGVsbG8/", std::nullopt}};
  for (const auto& [text, bytes] : standard) EXPECT_EQ(Base64::decode(text), bytes) << text;
  for (const auto& [text, bytes] : url) EXPECT_EQ(Base64::decodeURL(text), bytes) << text;
  for (const char* bad : {" aGk=", "aGk=\n", "a=Gk", "a===", "====", "aGk*", "a"}) {
    EXPECT_FALSE(Base64::decode(bad)) << bad;
    EXPECT_FALSE(Base64::decodeURL(bad)) << bad;
  }
  const std::string bytes("\xFB\xFF\x00 ok", 6);
  EXPECT_EQ(Base64::encode(bytes), "+/8AIG9r");
  EXPECT_EQ(Base64::encodeURL(bytes), "-_8AIG9r");
}

}  // namespace
}  // namespace tvrn
