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
constexpr auto none = std::nullopt;

ToolSpec tool(std::string name, BehaviorSpec behavior) {
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
      tool("mail_search", B::Jxa{R"(return Application("Mail").inbox().length < 5 && "<done>";)"});
  search.category = "read";
  search.timeoutMs = 15000;
  search.description = "Search the mailbox";
  search.params = {{"query", ParamType::string, true, none, none, none, 200},
                   {"limit", ParamType::integer, false, "10", 1, 50, none},
                   {"flagged", ParamType::boolean, false, none, none, none, none},
                   {"ids", ParamType::array, false, none, none, none, none}};
  search.tccRequirements = {{"automation", "read", "Allow Mail"},
                            {"contacts", "full_access", "Permission denied"}};
  search.telemetry = TelemetrySpec{"mail_searched",
                                   {{"q", none, "query", true, none},
                                    {"kind", "search", none, false, none},
                                    {"has_query", none, "query", false, "non_empty"}}};
  ToolSpec digest = tool("digest", B::Compose{{{"mail_search", R"({"q":"{{q}}"})"}, {"x", "{}"}}});
  digest.destructive = true;
  digest.previewTemplate = "Will send the digest to {{to}}";
  digest.params = {{"to", ParamType::email, false, none, none, none, none}};
  m.tools = {
      search,
      tool("notes_count", B::AppleScript{R"(tell application "Notes" to count notes)"}),
      tool("calendar_list", B::Helper{"calendar.list"}),
      tool("local_items", B::HttpLocal{"http://127.0.0.1:9000", "GET", "/v1"}),
      digest,
      tool("system_info", B::Native{"system.info"}),
      tool("fan_out", B::Parallel{{{"mail_search", "{}"}}, PartialFailurePolicy::includeErrors}),
      tool("recent", B::Sqlite{"r.db", "SELECT 1"}),
      tool("branch", B::Conditional{"engine_gte:3.0.0", B::Cache{60, B::Helper{"fresh"}},
                                    B(B::Conditional{"", B::Text{}, B(B::Text{"too old"})})}),
      tool("remote_post", B::HttpRemote{"https://example.invalid/hook",
                                        "POST",
                                        {{"X-A", "1"}, {"X-A", "2"}, {"", ""}},
                                        2500}),
      tool("prefs", B::Plist{"a.plist", "read", "a.b"}),
      tool("keys", B::Plist{"b.plist", "keys", none}),
      tool("cached_nothing", B::Cache{300, B::Text{}}),
      tool("future_kind", B::Text{"Unsupported behavior type: wasm"})};
  m.uiBanners = {{"perm", "tcc_missing", "high", "Grant access", "Open the settings",
                  UIBannerAction{"open", "privacy"}},
                 {"hello", "", "medium", "Hello", "", none}};
  m.uiPages = {{"settings", "https://example.invalid/s.html"}};
  m.remoteConfig.entries = {{"beats", "12"}, {"empty", ""}, {"twice", "2"}};
  m.aiClients = {{"claude",
                  "Claude",
                  "~/.config/Claude/config.json",
                  "servers",
                  {"/usr/bin/claude", "~/.claude", "", "/opt/claude"},
                  "Cloud only"},
                 {"zed", "", "", "mcpServers", {}, none}};
  m.servicesMeta = {{"mail",
                     "Mail",
                     "envelope",
                     {"Read", "Write"},
                     "mail_search",
                     "mail_read",
                     "mail_write",
                     true,
                     "Enable Mail",
                     {"Open Mail", "Allow access"}},
                    {"notes", "", "", {""}, "", "", "", false, none, {}}};
  m.disabledTools = {"future_kind"};
  return m;
}

TEST(ManifestParserTest, ReadsEveryElementAndAttributeOfTheFormat) {
  test::CapturedStderr log;
  auto parsed = ManifestParser::parse(test::kFullManifest);
  ASSERT_TRUE(parsed.has_value());
  const Manifest expected = expectedFullManifest();
  // Tool by tool first, so a failure names the tool that differs.
  ASSERT_EQ(parsed->tools.size(), expected.tools.size());
  for (std::size_t i = 0; i < expected.tools.size(); ++i) {
    EXPECT_EQ(parsed->tools[i], expected.tools[i]) << expected.tools[i].name;
  }
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

std::string joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const auto& piece : pieces) text += (text.empty() ? "" : "|") + piece;
  return text;
}

// The lists and settings, the names of the tools, and of a single tool its time-out,
// description, parameter types and behaviour.
std::string summary(const Manifest& m) {
  std::string text;
  for (const auto& client : m.aiClients) text += "detect:" + joined(client.detectPaths) + ";";
  for (const auto& service : m.servicesMeta) text += "perms:" + joined(service.perms) + ";";
  for (const auto& [key, value] : m.remoteConfig.entries) text += key + "=" + value + ";";
  for (const auto& tool : m.tools) text += tool.name + ";";
  if (m.tools.size() != 1) return text;
  const ToolSpec& tool = m.tools[0];
  text += std::to_string(tool.timeoutMs) + ";" + tool.description + ";";
  for (const auto& param : tool.params) text += std::string(toRaw(param.type)) + ";";
  if (auto* jxa = tool.behavior.as<B::Jxa>()) text += "jxa:" + jxa->script;
  if (auto* t = tool.behavior.as<B::Text>()) text += "text:" + t->text;
  if (auto* cache = tool.behavior.as<B::Cache>()) {
    text += "cache:" + std::to_string(cache->ttlSeconds);
    if (auto* remote = cache->inner.as<B::HttpRemote>()) {
      text += ":" + remote->httpMethod + ":" + std::to_string(remote->timeoutMs);
    }
  }
  return text;
}

TEST(ManifestParserTest, HandlesEachCaseOfTheFormat) {
  const std::string failed = "[manifest] WARN  XML parse failed: ";
  const std::string tooDeep = failed + "elements nest deeper than 256 levels";
  const std::string deepTool = R"(<tool name="deep"><behavior type="jxa"/></tool>)";
  test::writeFile(test::home() / "secret.txt", "TOP-SECRET");
  std::string amplified = "<!DOCTYPE manifest [<!ENTITY a0 \"xxxxxxxxxxxxxxxx\">";
  for (int i = 1; i < 10; ++i) {
    amplified += "<!ENTITY a" + std::to_string(i) + " \"" +
                 nested("&a" + std::to_string(i - 1) + ";", "", 10) + "\">";
  }
  amplified += "]>" + inManifest(R"(<page name="p" src="&a9;"/>)");
  const struct {
    std::string what;
    std::string document;
    std::optional<std::string> summary;  // none: no manifest
    std::string warning;                 // a text the log must hold; empty: the log stays empty
  } cases[] = {
      {"empty document", "", none, failed},
      {"cut before the end tag", "<manifest><tool name=\"a\">", none, failed},
      {"root is not manifest", "<tools><tool name=\"a\"><behavior type=\"jxa\"/></tool></tools>",
       none, failed + "unknown\n"},
      {"nameless or behaviourless tools dropped",
       inManifest(R"(<tool name="a"><behavior type="jxa"/></tool><tool><behavior type="jxa"/></tool>
                     <tool name="b"/><tool name=""><behavior/></tool><tool name="c"><behavior/></tool>)"),
       "a;c;", "Unknown behavior type '' \u2014 treating as text"},
      {"malformed and negative integers",
       inManifest(R"(<tool name="t" timeout_ms="abc"><behavior type="cache" ttl_seconds="-5">
                       <behavior type="http_remote"><timeout_ms>2.5</timeout_ms></behavior>
                     </behavior></tool>)"),
       "t;30000;;cache:-5:GET:5000", ""},
      {"type words are case-sensitive",
       inManifest(R"(<tool name="t"><param type="Int"/><behavior type="JXA"/></tool>)"),
       "t;30000;;string;text:Unsupported behavior type: JXA",
       "Unknown behavior type 'JXA' \u2014 treating as text"},
      {"text before a child element is lost",
       inManifest(R"(<tool name="t"><description>lost<b/> kept </description>
                     <behavior type="jxa">lost<script>child</script> own </behavior></tool>)"),
       "t;30000;kept;jxa:own", ""},
      {"lists split at every comma",
       inManifest(
           R"(<ai_clients><client detect=" a ,b,,	c "/><client detect=""/></ai_clients>
                     <services><service/><service perms=""/></services>)"),
       "detect:a|b||c;detect:;perms:Read;perms:;", ""},
      {"a setting needs a value",
       inManifest(R"(<config><set key="a"/><set key="b" value=""/></config>)"), "b=;", ""},
      {"prefixed names match nothing",
       R"(<manifest xmlns:a="urn:a"><a:tool name="t"><behavior type="jxa"/></a:tool>
          <tool name="u"><a:behavior type="jxa"/></tool></manifest>)",
       "", ""},
      {"external entities are never read",
       "<!DOCTYPE manifest [<!ENTITY secret SYSTEM \"file://" +
           (test::home() / "secret.txt").string() + "\">]>" +
           inManifest(R"(<tool name="t"><description>[&secret;]</description>
                         <behavior type="jxa"/></tool>)"),
       "t;30000;[];jxa:", ""},
      {"entity amplification is refused", amplified, none, failed},
      {"nesting up to the limit", inManifest(nested("<g>", "</g>", 253, deepTool)),
       "deep;30000;;jxa:", ""},
      {"nesting past the limit", inManifest(nested("<g>", "</g>", 254, deepTool)), none, tooDeep},
      {"behaviours nested 10,000 levels deep",
       inManifest("<tool name=\"t\">" +
                  nested(R"(<behavior type="cache"><inner>)", "</inner></behavior>", 5000) +
                  "</tool>"),
       none, tooDeep},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::CapturedStderr log;
    auto parsed = ManifestParser::parse(c.document);
    const std::string logged = log.text();
    EXPECT_EQ(parsed ? std::optional(summary(*parsed)) : none, c.summary);
    if (c.warning.empty()) {
      EXPECT_EQ(logged, "");
    }
    EXPECT_NE(logged.find(c.warning), std::string::npos) << logged;
    // Expat's own description follows the prefix when the XML is at fault.
    if (c.warning == failed) {
      EXPECT_EQ(logged.find(failed + "unknown"), std::string::npos);
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
  for (int copy = 0; copy < 1000; ++copy) {
    std::string damaged = whole;
    for (int i = flips(random); i > 0; --i)
      damaged[position(random)] = static_cast<char>(byte(random));
    (void)ManifestParser::parse(damaged);
  }
}

}  // namespace
}  // namespace tvrn
