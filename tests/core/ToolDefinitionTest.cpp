#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/Params.h"
#include "core/ToolDefinition.h"
#include "core/ToolResponse.h"

namespace tvrn {
namespace {

JSONValue args(const char* json) { return *JSONValue::decode(json); }

// The text block of a tool result, checking the result's exact shape on the way.
std::string textOf(const JSONValue& result) {
  const nlohmann::json raw = result.rawValue();
  EXPECT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw["content"].size(), 1u);
  EXPECT_EQ(raw["content"][0].size(), 2u);
  EXPECT_EQ(raw["content"][0]["type"], "text");
  return raw["content"][0]["text"].get<std::string>();
}

TEST(ToolDefinitionTest, KindsAndErrorTexts) {
  for (auto [kind, raw] :
       {std::pair{ToolKind::readOnly, "ro"}, std::pair{ToolKind::write, "wr"},
        std::pair{ToolKind::destructive, "dt"}, std::pair{ToolKind::send, "send"}}) {
    EXPECT_EQ(toRaw(kind), raw);
    EXPECT_EQ(fromRaw<ToolKind>(raw), kind);
  }
  for (const char* raw : {"RO", "read", "", "Send", "ro "}) {
    EXPECT_FALSE(fromRaw<ToolKind>(raw).has_value()) << raw;
  }

  const std::pair<ToolError, std::string> errors[] = {
      {ToolError::missingParam("id"), "Missing required parameter: id"},
      {ToolError::invalidParam("limit", "integer"), "Invalid 'limit': expected integer"},
      {ToolError::executionFailed("  as is: 'x' "), "  as is: 'x' "},
      {ToolError::permissionDenied("no access"), "Permission denied: no access"},
      {ToolError::notFound("tool 'x'"), "Not found: tool 'x'"},
      {ToolError::resourceNotFound("event 7"), "Not found: event 7"},
  };
  for (const auto& [error, text] : errors) EXPECT_EQ(error.description(), text);
  // Same text, different cases: the session answers them differently.
  EXPECT_NE(ToolError::notFound("a"), ToolError::resourceNotFound("a"));
}

TEST(ToolDefinitionTest, ResultShapes) {
  EXPECT_EQ(ToolResponse::text("hi").encode(), R"({"content":[{"text":"hi","type":"text"}]})");
  EXPECT_EQ(ToolResponse::error("boom").encode(),
            R"({"content":[{"text":"Error: boom","type":"text"}],"isError":true})");
  EXPECT_EQ(textOf(ToolResponse::answer(JSONValue("a \"b\""))), "a \"b\"");
  EXPECT_EQ(textOf(ToolResponse::answer(JSONValue(std::int64_t{7}))), "7");
  EXPECT_EQ(textOf(ToolResponse::answer(JSONValue())), "null");
  EXPECT_EQ(textOf(ToolResponse::json(args(R"({"a": [1, 2.5, null], "b": "x"})"))),
            nlohmann::json::parse(R"({"a": [1, 2.5, null], "b": "x"})").dump(2));
  EXPECT_EQ(textOf(ToolResponse::json(args("[]"))), "[]");
}

// A result that cannot be written as JSON text is a failure the client sees as one, never an
// empty answer that reads as "nothing there".
TEST(ToolDefinitionTest, AResultThatCannotBeEncodedIsAnErrorSayingWhy) {
  const std::pair<JSONValue, std::string> cases[] = {
      {JSONValue("bare string"), "it is not an object or array"},
      {JSONValue(JSONValue::Array{JSONValue(std::numeric_limits<double>::infinity())}),
       "it holds a number that is not finite"},
      {JSONValue(JSONValue::Object{{"nan", JSONValue(std::nan(""))}}),
       "it holds a number that is not finite"},
      {JSONValue(JSONValue::Array{JSONValue(std::string("caf\xe9"))}),
       "it holds text that is not valid UTF-8"},
  };
  for (const auto& [value, why] : cases) {
    EXPECT_EQ(ToolResponse::json(value).encode(),
              ToolResponse::error("the result could not be encoded: " + why).encode());
  }
  EXPECT_EQ(ToolResponse::printed(nlohmann::json{{"rows", {"caf\xe9"}}}).encode(),
            ToolResponse::error("the result could not be encoded: it holds text that is not "
                                "valid UTF-8")
                .encode());
}

TEST(ParamsTest, RequireAndOptional) {
  struct Row {
    const char* arguments;  // nullptr: no arguments at all
    std::string outcome;    // the value, or the error's text
  };
  const Row required[] = {
      {R"({"q": "a"})", "a"},
      {R"({"q": " a "})", " a "},
      {R"({"q": "  "})", "Invalid 'q': expected non-empty string"},
      {R"({"q": "\t\u00a0\u3000"})", "Invalid 'q': expected non-empty string"},
      {R"({"q": 5})", "Missing required parameter: q"},
      {R"({"other": "a"})", "Missing required parameter: q"},
      {nullptr, "Missing required parameter: q"},
  };
  for (const Row& row : required) {
    const Params::Arguments arguments =
        row.arguments ? std::optional(args(row.arguments)) : std::nullopt;
    auto result = Params::require("q", arguments);
    EXPECT_EQ(result ? result.value() : result.error().description(), row.outcome)
        << (row.arguments ? row.arguments : "absent");
  }

  EXPECT_EQ(Params::optional("q", args(R"({"q": ""})"), "d"), "");
  EXPECT_EQ(Params::optional("q", args(R"({"q": 1})"), "d"), "d");
  EXPECT_EQ(Params::optional("q", std::nullopt, "d"), "d");

  const std::pair<const char*, bool> bools[] = {
      {R"({"b": false})", false}, {R"({"b": 2})", true},      {R"({"b": 0})", false},
      {R"({"b": "TRUE"})", true}, {R"({"b": "1"})", true},    {R"({"b": "yes"})", false},
      {R"({"b": null})", true},   {R"({"b": [true]})", true}, {R"({})", true},
  };
  for (const auto& [arguments, expected] : bools) {
    EXPECT_EQ(Params::optionalBool("b", args(arguments), true), expected) << arguments;
  }
  EXPECT_FALSE(Params::optionalBool("b", std::nullopt, false));
  const JSONValue doubleOne(JSONValue::Object{{"b", JSONValue(1.0)}});
  EXPECT_FALSE(Params::optionalBool("b", doubleOne, false));
  EXPECT_EQ(Params::optionalInt("b", doubleOne, 7), 7);

  const std::pair<const char*, std::int64_t> ints[] = {
      {R"({"n": 10})", 10},  {R"({"n": -3})", -3},  {R"({"n": "10"})", 7},
      {R"({"n": 10.5})", 7}, {R"({"n": true})", 7}, {R"({})", 7},
  };
  for (const auto& [arguments, expected] : ints) {
    EXPECT_EQ(Params::optionalInt("n", args(arguments), 7), expected) << arguments;
  }
}

TEST(ParamsTest, OneOfAndTheWithRequiredFamily) {
  auto found = Params::requireOneOf({"id", "name"}, args(R"({"id": "", "name": "Bob"})"));
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), (std::pair<std::string, std::string>{"name", "Bob"}));
  // Blanks count here: emptiness is tested without trimming.
  found = Params::requireOneOf({"id", "name"}, args(R"({"id": " ", "name": "Bob"})"));
  EXPECT_EQ(found.value().second, " ");
  found = Params::requireOneOf({"id", "name", "email"}, args(R"({"id": 4})"));
  EXPECT_EQ(found.error(), ToolError::missingParam("id or name or email"));

  int bodyRuns = 0;
  auto join3 = [&](const std::string& a, const std::string& b, const std::string& c) -> ToolResult {
    ++bodyRuns;
    return ToolResponse::text(a + b + c);
  };
  const std::pair<const char*, std::string> rows[] = {
      {R"({"a": "1", "b": "2", "c": "3"})", "123"},
      // The first failing name decides, each checked wholly (missing, then blank) in turn.
      {R"({"b": "2", "c": "3"})", "Missing required parameter: a"},
      {R"({"a": " ", "c": "3"})", "Invalid 'a': expected non-empty string"},
      {R"({"a": "1", "b": "", "c": 3})", "Invalid 'b': expected non-empty string"},
      {R"({"a": "1", "b": "2"})", "Missing required parameter: c"},
  };
  for (const auto& [arguments, outcome] : rows) {
    bodyRuns = 0;
    auto result = Params::withRequired3("a", "b", "c", args(arguments), join3);
    EXPECT_EQ(result ? textOf(result.value()) : result.error().description(), outcome);
    EXPECT_EQ(bodyRuns, result ? 1 : 0) << arguments;
  }
  auto second = Params::withRequired2(
      "a", "b", args(R"({"b": "2"})"),
      [&](const std::string&, const std::string&) -> ToolResult { return JSONValue(); });
  EXPECT_EQ(second.error(), ToolError::missingParam("a"));
}

}  // namespace
}  // namespace tvrn
