#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "manifest/ManifestFixture.h"
#include "manifest/ManifestParser.h"
#include "support/CapturedStderr.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using B = BehaviorSpec;

ToolSpec toolSpec(std::string name, BehaviorSpec behavior) {
  ToolSpec spec;
  spec.name = std::move(name);
  spec.timeoutMs = 30000;
  spec.behavior = std::move(behavior);
  return spec;
}

Manifest expectedFullManifest() {
  Manifest m;
  m.version = 42;
  m.tvrnVersion = "3.0.200";
  m.published = "2026-12-01T08:00:00Z";
  m.signature = "c2ln";
  m.capabilities = {{"jxa", "3.0.0"}, {"http_remote", ""}};

  ToolSpec search =
      toolSpec("mail_search",
               B::Jxa{R"(return Application("Mail").inbox().messages().length < 5 && "<done>";)"});
  search.category = "read";
  search.timeoutMs = 15000;
  search.description = "Search the mailbox";
  const auto none = std::nullopt;
  search.params = {
      {"query", ParamType::string, true, none, none, none, 200},
      {"limit", ParamType::integer, false, "10", 1, 50, none},
      {"flagged", ParamType::boolean, false, none, none, none, none},
      {"to", ParamType::email, false, none, none, none, none},
      {"ids", ParamType::array, false, none, none, none, none},
  };
  search.tccRequirements = {{"automation", "read", "Allow Mail"},
                            {"contacts", "full_access", "Permission denied"}};
  search.telemetry = TelemetrySpec{"mail_searched",
                                   {{"q", none, "query", true, none},
                                    {"kind", "search", none, false, none},
                                    {"has_query", none, "query", false, "non_empty"}}};

  const auto tool = toolSpec;
  ToolSpec digest = tool(
      "daily_digest", B::Compose{{{"mail_search", R"({"query":"{{q}}"})"}, {"notes_count", "{}"}}});
  digest.destructive = true;
  digest.previewTemplate = "Will send the digest to {{to}}";

  m.tools = {
      search,
      tool("notes_count", B::AppleScript{R"(tell application "Notes" to count notes)"}),
      tool("calendar_list", B::Helper{"calendar.list"}),
      tool("local_items", B::HttpLocal{"http://127.0.0.1:9000", "GET", "/v1/items"}),
      digest,
      tool("system_info", B::Native{"system.info"}),
      tool("fan_out", B::Parallel{{{"mail_search", "{}"}, {"calendar_list", "{}"}},
                                  PartialFailurePolicy::includeErrors}),
      tool("recent_files", B::Sqlite{"~/Library/recent.db", "SELECT 1"}),
      tool("branch",
           B::Conditional{"engine_gte:3.0.0", B::Cache{60, B::Helper{"fresh"}},
                          B(B::Conditional{"os:linux", B::Text{}, B(B::Text{"too old"})})}),
      tool("remote_post", B::HttpRemote{"https://example.invalid/hook",
                                        "POST",
                                        {{"X-A", "1"}, {"X-A", "2"}, {"", ""}},
                                        2500}),
      tool("prefs_read", B::Plist{"~/Library/Preferences/a.plist", "read", "a.b"}),
      tool("prefs_keys", B::Plist{"b.plist", "keys", std::nullopt}),
      tool("cached_nothing", B::Cache{300, B::Text{}}),
      tool("future_kind", B::Text{"Unsupported behavior type: wasm"}),
  };
  m.uiBanners = {
      {"perm", "tcc_missing", "high", "Grant access", "Open the settings",
       UIBannerAction{"open_settings", "privacy"}},
      {"hello", "", "medium", "Hello", "", std::nullopt},
  };
  m.uiPages = {{"settings", "https://example.invalid/settings.html"}};
  m.remoteConfig.entries = {{"manifest_check_every_beats", "12"}, {"empty", ""}, {"twice", "2"}};
  m.aiClients = {
      {"claude",
       "Claude",
       "~/.config/Claude/config.json",
       "servers",
       {"/usr/bin/claude", "~/.claude", "", "/opt/claude"},
       "Cloud only"},
      {"zed", "", "", "mcpServers", {}, std::nullopt},
  };
  m.servicesMeta = {
      {"mail",
       "Mail",
       "envelope",
       {"Read", "Write"},
       "mail_search",
       "mail_read",
       "mail_write",
       true,
       "Enable Mail",
       {"Open Mail", "Allow access"}},
      {"notes", "", "", {""}, "", "", "", false, std::nullopt, {}},
  };
  m.disabledTools = {"future_kind"};
  return m;
}

TEST(ManifestParserTest, ReadsEveryElementAndAttributeOfTheFormat) {
  test::CapturedStderr log;
  auto parsed = ManifestParser::parse(test::kFullManifest);
  ASSERT_TRUE(parsed.has_value());
  const Manifest expected = expectedFullManifest();
  // Field by field first, so a failure points at the part that differs.
  ASSERT_EQ(parsed->tools.size(), expected.tools.size());
  for (std::size_t i = 0; i < expected.tools.size(); ++i) {
    EXPECT_EQ(parsed->tools[i], expected.tools[i]) << expected.tools[i].name;
  }
  EXPECT_EQ(parsed->uiBanners, expected.uiBanners);
  EXPECT_EQ(parsed->aiClients, expected.aiClients);
  EXPECT_EQ(parsed->servicesMeta, expected.servicesMeta);
  EXPECT_EQ(*parsed, expected);
  EXPECT_NE(
      log.text().find("[manifest] WARN  Unknown behavior type 'wasm' \u2014 treating as text"),
      std::string::npos);
}

std::string inManifest(const std::string& body) { return "<manifest>" + body + "</manifest>"; }

std::string nested(const std::string& open, const std::string& close, int depth,
                   const std::string& core = "") {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += core;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

std::vector<std::string> toolNames(const Manifest& manifest) {
  std::vector<std::string> names;
  for (const auto& tool : manifest.tools) names.push_back(tool.name);
  return names;
}

const ToolSpec& onlyTool(const std::optional<Manifest>& manifest) {
  static const ToolSpec none;
  return manifest && manifest->tools.size() == 1 ? manifest->tools.front() : none;
}

struct ParserCase {
  std::string what;
  std::string document;
  bool parses;
  std::string warning;  // a text the log must hold; empty: the log stays empty
  std::function<void(const Manifest&)> check = [](const Manifest&) {};
};

TEST(ManifestParserTest, HandlesEachCaseOfTheFormat) {
  const std::string failed = "[manifest] WARN  XML parse failed: ";
  test::writeFile(test::home() / "secret.txt", "TOP-SECRET");
  const ParserCase cases[] = {
      {"empty document", "", false, failed},
      {"cut before the end tag", "<manifest><tool name=\"a\">", false, failed},
      {"root is not manifest", "<tools><tool name=\"a\"><behavior type=\"jxa\"/></tool></tools>",
       false, failed + "unknown\n"},
      {"nameless or behaviourless tools dropped",
       inManifest(R"(<tool name="a"><behavior type="jxa"/></tool><tool><behavior type="jxa"/></tool>
                     <tool name="b"/><tool name=""><behavior/></tool>
                     <tool name="c"><behavior type="helper"/></tool>)"),
       true, "Unknown behavior type ''",
       [](const Manifest& m) {
         EXPECT_EQ(toolNames(m), (std::vector<std::string>{"a", "c"}));
       }},
      {"defaults of the root", "<manifest version=\"v2\"/>", true, "",
       [](const Manifest& m) {
         Manifest defaults;
         defaults.version = 1;
         EXPECT_EQ(m, defaults);
       }},
      {"malformed and negative integers",
       inManifest(R"(<tool name="t" timeout_ms="abc"><behavior type="cache" ttl_seconds="-5">
                       <behavior type="http_remote"><timeout_ms>2.5</timeout_ms></behavior>
                     </behavior></tool>)"),
       true, "",
       [](const Manifest& m) {
         ASSERT_EQ(m.tools.size(), 1u);
         EXPECT_EQ(m.tools[0].timeoutMs, 30000);
         EXPECT_EQ(m.tools[0].behavior, B(B::Cache{-5, B::HttpRemote{"", "GET", {}, 5000}}));
       }},
      {"type words are case-sensitive",
       inManifest(R"(<tool name="t"><param name="n" type="Int"/><behavior type="JXA"/></tool>)"),
       true, "Unknown behavior type 'JXA' \u2014 treating as text",
       [](const Manifest& m) {
         ASSERT_EQ(onlyTool(m).params.size(), 1u);
         EXPECT_EQ(onlyTool(m).params[0].type, ParamType::string);
         EXPECT_EQ(onlyTool(m).behavior, B(B::Text{"Unsupported behavior type: JXA"}));
       }},
      {"text before a child element is lost",
       inManifest(R"(<tool name="t"><description>lost<b/> kept </description>
                     <behavior type="jxa">lost<script>child</script> own </behavior></tool>)"),
       true, "",
       [](const Manifest& m) {
         EXPECT_EQ(onlyTool(m).description, "kept");
         EXPECT_EQ(onlyTool(m).behavior, B(B::Jxa{"own"}));
       }},
      {"list attributes split at every comma",
       inManifest(R"(<ai_clients><client detect=" a ,b,,c"/><client detect=""/></ai_clients>
                     <services><service perms=" Read ,"/><service/></services>)"),
       true, "",
       [](const Manifest& m) {
         ASSERT_EQ(m.aiClients.size(), 2u);
         EXPECT_EQ(m.aiClients[0].detectPaths, (std::vector<std::string>{"a", "b", "", "c"}));
         EXPECT_TRUE(m.aiClients[1].detectPaths.empty());
         ASSERT_EQ(m.servicesMeta.size(), 2u);
         EXPECT_EQ(m.servicesMeta[0].perms, (std::vector<std::string>{"Read", ""}));
         EXPECT_EQ(m.servicesMeta[1].perms, (std::vector<std::string>{"Read"}));
       }},
      {"settings need a key and a value",
       inManifest(R"(<config><set key="a"/><set value="v"/><set key="b" value="1"/>
                     <set key="b" value="2"/></config><set key="c" value="3"/>)"),
       true, "",
       [](const Manifest& m) {
         EXPECT_EQ(m.remoteConfig.entries, (std::map<std::string, std::string>{{"b", "2"}}));
       }},
      {"set-up steps only inside a service", inManifest(R"(<setup><step>stray</step></setup>
                     <services><service id="s"><setup><step>one</step></setup></service></services>)"),
       true, "",
       [](const Manifest& m) {
         ASSERT_EQ(m.servicesMeta.size(), 1u);
         EXPECT_EQ(m.servicesMeta[0].setupSteps, (std::vector<std::string>{"one"}));
       }},
      {"prefixed names match nothing",
       R"(<manifest xmlns:a="urn:a"><a:tool name="t"><behavior type="jxa"/></a:tool>
          <tool name="u"><a:behavior type="jxa"/></tool></manifest>)",
       true, "", [](const Manifest& m) { EXPECT_TRUE(m.tools.empty()); }},
      {"a behaviour outside a tool is discarded, a later one in a tool wins",
       inManifest(R"(<behavior type="jxa">x</behavior>
                     <tool name="t"><behavior type="jxa">1</behavior><behavior type="jxa">2</behavior></tool>)"),
       true, "", [](const Manifest& m) { EXPECT_EQ(onlyTool(m).behavior, B(B::Jxa{"2"})); }},
      {"external entities are never read",
       "<!DOCTYPE manifest [<!ENTITY secret SYSTEM \"file://" +
           (test::home() / "secret.txt").string() + "\">]>" +
           inManifest(R"(<tool name="t"><description>[&secret;]</description>
                         <behavior type="jxa"/></tool>)"),
       true, "", [](const Manifest& m) { EXPECT_EQ(onlyTool(m).description, "[]"); }},
      {"entity amplification is refused",
       "<!DOCTYPE manifest [<!ENTITY a0 \"xxxxxxxxxxxxxxxx\">" +
           [] {
             std::string entities;
             for (int i = 1; i < 10; ++i) {
               entities += "<!ENTITY a" + std::to_string(i) + " \"" +
                           nested("&a" + std::to_string(i - 1) + ";", "", 10) + "\">";
             }
             return entities;
           }() +
           "]>" + inManifest("<page name=\"p\" src=\"&a9;\"/>"),
       false, failed},
      {"nesting up to the limit",
       inManifest(nested("<g>", "</g>", ManifestParser::kMaxDepth - 3,
                         R"(<tool name="deep"><behavior type="jxa"/></tool>)")),
       true, "",
       [](const Manifest& m) { EXPECT_EQ(toolNames(m), std::vector<std::string>{"deep"}); }},
      {"nesting past the limit",
       inManifest(nested("<g>", "</g>", ManifestParser::kMaxDepth - 2,
                         R"(<tool name="deep"><behavior type="jxa"/></tool>)")),
       false, failed + "elements nest deeper than 256 levels"},
      {"behaviours nested 10,000 levels deep",
       inManifest("<tool name=\"t\">" +
                  nested(R"(<behavior type="cache"><inner>)", "</inner></behavior>", 5000) +
                  "</tool>"),
       false, failed + "elements nest deeper than 256 levels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::CapturedStderr log;
    auto parsed = ManifestParser::parse(c.document);
    const std::string logged = log.text();
    ASSERT_EQ(parsed.has_value(), c.parses);
    if (parsed) c.check(*parsed);
    if (c.warning.empty()) {
      EXPECT_EQ(logged, "");
    } else {
      EXPECT_NE(logged.find(c.warning), std::string::npos) << logged;
    }
    if (!c.parses && c.warning == failed) {
      EXPECT_EQ(logged.find(failed + "unknown"), std::string::npos) << logged;
    }
  }
}

// Damaged documents must never crash the parser or trip the sanitizers, whatever they yield.
TEST(ManifestParserTest, SurvivesEveryTruncationAndRandomDamage) {
  const std::string whole(test::kFullManifest);
  test::CapturedStderr log;
  std::size_t parsedCount = 0;
  // Every cut before the end tag's last character.
  for (std::size_t length = 0; length <= whole.rfind('>'); ++length) {
    parsedCount += ManifestParser::parse(whole.substr(0, length)).has_value();
  }
  EXPECT_EQ(parsedCount, 0u);

  std::mt19937 random(13);
  std::uniform_int_distribution<std::size_t> position(0, whole.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> flips(1, 8);
  for (int copy = 0; copy < 3000; ++copy) {
    std::string damaged = whole;
    for (int i = flips(random); i > 0; --i)
      damaged[position(random)] = static_cast<char>(byte(random));
    (void)ManifestParser::parse(damaged);
  }
}

}  // namespace
}  // namespace tvrn
