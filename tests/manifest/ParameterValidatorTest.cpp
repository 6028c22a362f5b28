#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/ParameterValidator.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::optional<JSONValue> arguments(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return JSONValue::decode(text);
}

// A parameter, built up one setting at a time.
struct P : ParamSpec {
  explicit P(std::string n, ParamType t = ParamType::string) {
    name = std::move(n);
    type = t;
  }
  P& req() { return required = true, *this; }
  P& byDefault(std::string text) { return defaultValue = std::move(text), *this; }
  P& atLeast(std::int64_t n) { return min = n, *this; }
  P& atMost(std::int64_t n) { return max = n, *this; }
  P& longest(std::int64_t n) { return maxLength = n, *this; }
};

TEST(ParameterValidatorTest, ConvertsChecksAndPassesArgumentsThrough) {
  using T = ParamType;
  struct Case {
    std::vector<ParamSpec> params;
    std::string raw;
    json expected;  // the validated parameters, or the error's description as a string
  };
  const std::vector<Case> cases = {
      {{P("n", T::integer).req()}, R"({"n":null})", "Missing required parameter: n"},
      {{P("n", T::integer)},
       R"({"n":"+42","x":[1,{"y":null}]})",
       {{"n", 42}, {"x", {1, {{"y", nullptr}}}}}},
      {{P("n", T::integer)}, R"({"n":42.5})", "Invalid 'n': expected integer"},
      {{P("n", T::integer)}, R"({"n":" 42"})", "Invalid 'n': expected integer"},
      {{P("n", T::integer).atLeast(1)}, R"({"n":0})", "Invalid 'n': expected value >= 1"},
      {{P("n", T::integer).atMost(5)}, R"({"n":"6"})", "Invalid 'n': expected value <= 5"},
      {{P("s").longest(3)}, R"({"s":"e\u0301a\r\n"})", {{"s", "e\u0301a\r\n"}}},
      {{P("s").longest(3)}, R"({"s":"abcd"})", "Invalid 's': expected max 3 characters"},
      {{P("s")}, R"({"s":5})", "Invalid 's': expected string"},
      {{P("e", T::email)}, R"({"e":"no-at-sign"})", {{"e", "no-at-sign"}}},
      {{P("e", T::email)}, R"({"e":true})", "Invalid 'e': expected email"},
      {{P("a", T::array)}, R"({"a":"x,,y, ,z "})", {{"a", {"x", "y", "", "z"}}}},
      {{P("a", T::array)}, R"({"a":{}})", "Invalid 'a': expected array"},
      {{P("b", T::boolean), P("c", T::boolean), P("d", T::boolean)},
       R"({"b":"TRUE","c":"yes","d":2})",
       {{"b", true}, {"c", false}, {"d", true}}},
      {{P("b", T::boolean)}, R"({"b":1.5})", "Invalid 'b': expected boolean"},
      {{P("n", T::integer).byDefault("soon"), P("m", T::integer).byDefault("7"),
        P("f", T::boolean).byDefault("True"), P("l", T::array).byDefault("a,b"), P("o")},
       R"({"o":null})",
       {{"n", 0}, {"m", 7}, {"f", true}, {"l", "a,b"}, {"o", nullptr}}},
      {{P("s").req()}, "", "Missing required parameter: s"},
  };
  for (const Case& c : cases) {
    auto result = ParameterValidator::validate(arguments(c.raw), c.params);
    const json got = result.ok() ? result.value() : json(result.error().description());
    EXPECT_EQ(got, c.expected) << c.raw;
  }
}

}  // namespace
}  // namespace tvrn
