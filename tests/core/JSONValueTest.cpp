#include <gtest/gtest.h>

#include <string>

#include "core/JSONValue.h"

namespace tvrn {
namespace {

using Kind = JSONValue::Kind;

std::string repeat(int times, const std::string& text) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(JSONValueTest, DecodesTextAndUntypedValuesInTheSameOrder) {
  const int limit = JSONValue::maxDepth;
  const struct {
    std::string text;
    std::optional<Kind> kind;  // nothing: does not decode
  } rows[] = {
      {"1", Kind::intValue},
      {"1.5", Kind::doubleValue},
      {"\"1\"", Kind::stringValue},
      {"true", Kind::boolValue},
      {"null", Kind::nullValue},
      {" [] ", Kind::arrayValue},
      {"{}", Kind::objectValue},
      {"-9223372036854775808", Kind::intValue},
      {"9223372036854775808", Kind::doubleValue},
      {"", std::nullopt},
      {"1 2", std::nullopt},
      {"[1,]", std::nullopt},
      {"\"a\xff\"", std::nullopt},
      {repeat(limit, "[") + repeat(limit, "]"), Kind::arrayValue},
      {repeat(limit + 1, "[") + repeat(limit + 1, "]"), std::nullopt},
      {repeat(limit / 2, "[{\"a\":") + "1" + repeat(limit / 2, "}]"), Kind::arrayValue},
      {repeat(limit / 2, "[{\"a\":") + "{}" + repeat(limit / 2, "}]"), std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 40));
    const auto value = JSONValue::decode(row.text);
    EXPECT_EQ(value ? std::optional(value->kind()) : std::nullopt, row.kind);
    const auto raw = nlohmann::json::parse(row.text, nullptr, false);
    if (raw.is_discarded()) continue;
    const auto fromRaw = JSONValue::fromRaw(raw);
    EXPECT_EQ(fromRaw ? std::optional(fromRaw->kind()) : std::nullopt, row.kind);
  }
  // An unterminated flood of brackets is abandoned at the limit, not built.
  EXPECT_FALSE(JSONValue::decode(std::string(4'000'000, '[')).has_value());
}

TEST(JSONValueTest, AccessorsGiveOnlyTheirOwnCase) {
  const JSONValue value = *JSONValue::decode(R"([1, "s", null, {"k": null}, 3.0, true])");
  EXPECT_EQ(value[0]->asInt(), 1);
  EXPECT_EQ(value[1]->asString(), "s");
  EXPECT_EQ(value[5]->asBool(), true);
  EXPECT_EQ(std::get<double>(value[4]->storage()), 3.0);
  ASSERT_NE((*value[3])["k"], nullptr);  // a member holding null is present
  EXPECT_EQ((*value[3])["k"]->kind(), Kind::nullValue);

  for (const JSONValue* nothing : {value[-1], value[6], value["k"], (*value[3])[0]}) {
    EXPECT_EQ(nothing, nullptr);
  }
  EXPECT_FALSE(value[4]->asInt());
  EXPECT_FALSE(value[0]->asString());
  EXPECT_EQ(value.asObject(), nullptr);

  const nlohmann::json raw = value.rawValue();
  EXPECT_TRUE(raw[2].is_null());
  EXPECT_TRUE(raw[4].is_number_float());
  EXPECT_EQ(JSONValue::fromRaw(raw)->encode(), value.encode());
  // Encoding replaces invalid UTF-8, so the text is always valid JSON.
  EXPECT_EQ(JSONValue(std::string("a\xff")).encode(), "\"a\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace tvrn
