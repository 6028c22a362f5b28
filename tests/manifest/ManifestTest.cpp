#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "manifest/Manifest.h"

namespace tvrn {
namespace {

using namespace std::string_literals;

ManifestConfig configWith(const std::string& value) {
  ManifestConfig config;
  config.entries["k"] = value;
  return config;
}

TEST(ManifestConfigTest, ReadsStrictDecimalIntegersOnly) {
  const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
      {"6", 6},
      {"+6", 6},
      {"-6", -6},
      {"007", 7},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {" 6", std::nullopt},
      {"6 ", std::nullopt},
      {"6.0", std::nullopt},
      {"6e2", std::nullopt},
      {"0x10", std::nullopt},
      {"+-6", std::nullopt},
      {"--6", std::nullopt},
      {"+", std::nullopt},
      {"", std::nullopt},
      {"6\0"s, std::nullopt},
      {"\u0666", std::nullopt},  // a digit, but not an ASCII one
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(configWith(text).asInt("k"), expected) << '"' << text << '"';
  }
  EXPECT_EQ(configWith("6").asInt("absent"), std::nullopt);
}

TEST(ManifestConfigTest, ReadsWholeCLocaleFloatingPointTexts) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<std::string, std::optional<double>> cases[] = {
      {"1.5", 1.5},
      {"+1.5", 1.5},
      {"-2e3", -2000.0},
      {".5", 0.5},
      {"0x1p4", 16.0},
      {"inf", inf},
      {"-Infinity", -inf},
      {" 1.5", std::nullopt},
      {"\t1.5", std::nullopt},
      {"\n1.5", std::nullopt},
      {"\0001.5"s, std::nullopt},
      {"1.5 ", std::nullopt},
      {"1.5\0009"s, std::nullopt},
      {"1,5", std::nullopt},
      {"1.5x", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(configWith(text).asDouble("k"), expected) << '"' << text << '"';
  }
  auto nan = configWith("nan").asDouble("k");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  EXPECT_EQ(configWith("1").asDouble("absent"), std::nullopt);
}

TEST(ManifestConfigTest, TellsAnAbsentKeyFromAnEmptyValue) {
  EXPECT_EQ(configWith("").value("k"), std::optional<std::string>(""));
  EXPECT_EQ(configWith("").value("absent"), std::nullopt);
  EXPECT_EQ(ManifestConfig{}.value("absent"), std::nullopt);
}

TEST(ManifestEnumTest, ConvertsExactRawTextsOnly) {
  const std::pair<ParamType, const char*> types[] = {
      {ParamType::string, "string"}, {ParamType::integer, "int"}, {ParamType::boolean, "bool"},
      {ParamType::email, "email"},   {ParamType::array, "array"},
  };
  for (const auto& [type, raw] : types) {
    EXPECT_EQ(toRaw(type), raw);
    EXPECT_EQ(fromRaw<ParamType>(raw), type) << raw;
  }
  for (const char* raw : {"String", "Int", "integer", "boolean", " int", "int ", ""}) {
    EXPECT_EQ(fromRaw<ParamType>(raw), std::nullopt) << '"' << raw << '"';
  }

  EXPECT_EQ(fromRaw<PartialFailurePolicy>("include_errors"), PartialFailurePolicy::includeErrors);
  EXPECT_EQ(fromRaw<PartialFailurePolicy>("abort"), PartialFailurePolicy::abort);
  EXPECT_EQ(toRaw(PartialFailurePolicy::includeErrors), "include_errors");
  for (const char* raw : {"includeErrors", "Include_Errors", "ABORT", ""}) {
    EXPECT_EQ(fromRaw<PartialFailurePolicy>(raw), std::nullopt) << '"' << raw << '"';
  }
}

TEST(BehaviorSpecTest, ReportsTheCaseItWasBuiltFrom) {
  using B = BehaviorSpec;
  using K = BehaviorSpec::Kind;
  const std::pair<BehaviorSpec, K> cases[] = {
      {B::Jxa{"return 1"}, K::jxa},
      {B::Helper{"list_events"}, K::helper},
      {B::HttpLocal{"http://127.0.0.1:9", "GET", "/x"}, K::httpLocal},
      {B::Compose{{{"a", "{}"}}}, K::compose},
      {B::Native{"h"}, K::native},
      {B::Parallel{{}, PartialFailurePolicy::includeErrors}, K::parallel},
      {B::Sqlite{"/db", "SELECT 1"}, K::sqlite},
      {B::Conditional{"param:a=b", B::Text{"yes"}, std::nullopt}, K::conditional},
      {B::HttpRemote{"https://example.invalid", "POST", {{"A", "1"}, {"A", "2"}}, 5000},
       K::httpRemote},
      {B::Plist{"/p.plist", "read", std::nullopt}, K::plist},
      {B::Cache{300, B::Native{"h"}}, K::cache},
      {B::AppleScript{"return 1"}, K::applescript},
      {B::Text{"hello"}, K::text},
  };
  for (const auto& [behavior, kind] : cases) {
    EXPECT_EQ(behavior.kind(), kind) << static_cast<int>(kind);
  }
  EXPECT_NE(cases[0].first.as<B::Jxa>(), nullptr);
  EXPECT_EQ(cases[0].first.as<B::AppleScript>(), nullptr);
  EXPECT_EQ(BehaviorSpec().kind(), K::text);
  EXPECT_EQ(BehaviorSpec().as<B::Text>()->text, "");
}

TEST(BehaviorSpecTest, NestedBehavioursCompareAndCopyAsValues) {
  using B = BehaviorSpec;
  auto build = [](const std::string& elseText) {
    return B(B::Cache{60, B::Conditional{"tcc:calendar", B::Jxa{"return 1"}, B::Text{elseText}}});
  };
  BehaviorSpec original = build("no");
  BehaviorSpec copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_EQ(build("no"), original);  // built apart, equal by value
  EXPECT_NE(build("other"), original);
  EXPECT_NE(B(B::Jxa{"x"}), B(B::AppleScript{"x"}));

  const auto* conditional = original.as<B::Cache>()->inner.as<B::Conditional>();
  ASSERT_NE(conditional, nullptr);
  EXPECT_EQ(conditional->then.as<B::Jxa>()->script, "return 1");
  ASSERT_TRUE(conditional->elseBehavior.has_value());
  EXPECT_EQ(conditional->elseBehavior->as<B::Text>()->text, "no");

  // Moving a behaviour leaves a usable one behind (readers assume every behaviour has a case).
  BehaviorSpec moved = std::move(copy);
  EXPECT_EQ(moved, original);
  EXPECT_EQ(copy.kind(), BehaviorSpec::Kind::cache);  // NOLINT: use after move is the point
  ToolSpec tool;
  tool.behavior = original;
  ToolSpec movedTool = std::move(tool);
  EXPECT_EQ(tool.behavior.kind(), BehaviorSpec::Kind::cache);  // NOLINT
}

}  // namespace
}  // namespace tvrn
