#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/TemplateEngine.h"

namespace tvrn {
namespace {

using nlohmann::json;

TEST(TemplateEngineTest, FillsPlaceholdersFromParameters) {
  const json params = json::parse(R"({"a": "A", "z": "Z", "inject": "{{z}}", "n": 42, "neg": -7,
      "yes": true, "whole": 3.0, "half": 2.5, "tenth": 0.1, "big": 1e21, "list": [1, 2],
      "obj": {"k": 1}, "nothing": null, "quote": "say \"hi\""})");

  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"{{a}} and {{a}}", "A and A"},
      // An inserted value is never read again, whatever the order of the variables.
      {"{{inject}}", "{{z}}"},
      {"{{inject}}{{z}}", "{{z}}Z"},
      {"{{missing}} stays", "{{missing}} stays"},
      {"{{ a }}", "{{ a }}"},
      {"{{A}}", "{{A}}"},
      {"{{{a}}}", "{A}"},
      {"{{a}", "{{a}"},
      {"{{}}", "{{}}"},
      {"{{n}} {{neg}} {{yes}}", "42 -7 true"},
      {"{{whole}} {{half}} {{tenth}} {{big}}", "3.0 2.5 0.1 1e+21"},
      {"{{list}} {{obj}} {{nothing}}", "{{list}} {{obj}} {{nothing}}"},
      {"no placeholders", "no placeholders"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TemplateEngine::render(c.text, params), c.expected) << c.text;
  }
  EXPECT_EQ(TemplateEngine::render("{{inject}}", json{{"inject", "{{z}}"}}), "{{z}}");
  // Values go into JSON templates as they are, so a quote breaks the document.
  const std::string rendered =
      TemplateEngine::renderJSON(R"({"q": "{{quote}}"})", TemplateEngine::vars(params));
  EXPECT_EQ(rendered, R"({"q": "say "hi""})");
  EXPECT_TRUE(json::parse(rendered, nullptr, false).is_discarded());
}

TEST(TemplateEngineTest, ListsUnreplacedPlaceholdersInOrder) {
  const struct {
    std::string text;
    std::vector<std::string> names;
  } cases[] = {
      {"{{a}} {{b}} {{a}}", {"a", "b", "a"}},
      {"{{ a }}", {" a "}},
      {"{{{a}}}", {"{a"}},
      {"{{}} {{a} {{b}}", {"b"}},
      {"{{a", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TemplateEngine::unreplacedTokens(c.text), c.names) << c.text;
  }
}

}  // namespace
}  // namespace tvrn
