#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestStore.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

// A context whose manifest hides what `names` gives.
std::shared_ptr<ServerContext> hidingByManifest(std::function<std::set<std::string>()> names) {
  auto context = std::make_shared<ServerContext>();
  context->manifestDisabledTools = std::move(names);
  return context;
}

// A tool whose result names it, so a test can tell which definition ran.
ToolDefinition toolNamed(const std::string& name, ToolKind kind = ToolKind::readOnly,
                         const std::string& description = "v1") {
  return {name,
          description,
          {{"type", "object"}},
          kind,
          [text = "ran " + name + " " + description](
              const std::optional<JSONValue>&) -> ToolResult { return ToolResponse::text(text); }};
}

std::string outcome(const ToolResult& result) {
  if (!result.ok()) return result.error().description();
  return (*(*result.value()["content"])[0])["text"]->asString().value_or("");
}

std::vector<std::string> listedNames(const ToolRegistry& registry) {
  std::vector<std::string> names;
  const JSONValue payload = registry.listPayload();
  for (const auto& tool : *payload["tools"]->asArray()) names.push_back(*tool["name"]->asString());
  return names;
}

void writeSettings(const std::string& user, const std::string& system = "{}") {
  test::writeFile(ConfigManager::shared().configPath(), user);
  test::writeFile(Paths::systemConfigDir() / "config.json", system);
}

TEST(ToolRegistryTest, GovernanceHidesAndRefusesTools) {
  const std::map<std::string, ToolKind> kinds = {
      {"custom_tool", ToolKind::write},        {"delete_calendar_event", ToolKind::destructive},
      {"list_emails", ToolKind::readOnly},     {"list_safari_bookmarks", ToolKind::readOnly},
      {"manifest_hidden", ToolKind::readOnly}, {"safari_click", ToolKind::write},
      {"send_email", ToolKind::send},          {"todo_list_tasks", ToolKind::readOnly},
      {"tvrn_welcome", ToolKind::readOnly},
  };
  const std::map<std::string, std::string> services = {
      {"delete_calendar_event", "calendar"}, {"list_emails", "mail"},
      {"list_safari_bookmarks", "safari"},   {"safari_click", "safari"},
      {"send_email", "mail"},                {"todo_list_tasks", "reminders"},
  };
  ToolRegistry registry(hidingByManifest([] { return std::set<std::string>{"manifest_hidden"}; }));
  for (const auto& [name, kind] : kinds) {
    ToolDefinition tool = toolNamed(name, kind);
    if (auto service = services.find(name); service != services.end()) tool.service = service->second;
    tool.introductory = name == "tvrn_welcome";
    registry.registerTool(std::move(tool));
  }

  auto policy = [](const std::string& tool) {
    return "Permission denied: '" + tool + "' is disabled by your organisation's IT policy";
  };
  auto service = [](const std::string& word) {
    return "Permission denied: '" + word +
           "' service is disabled. Enable it in TVRN Settings \u2192 Services.";
  };
  std::map<std::string, std::string> readOnly;
  for (const char* tool : {"custom_tool", "delete_calendar_event", "safari_click", "send_email"}) {
    readOnly[tool] =
        "Permission denied: '" + std::string(tool) + "' is not allowed in read-only mode";
  }
  auto withPolicy = readOnly;
  withPolicy["send_email"] = policy("send_email");
  auto unreadable = readOnly;
  for (auto& [tool, refusal] : unreadable) {
    refusal = "Permission denied: Tavrin's settings file " +
              ConfigManager::shared().configPath().string() +
              " does not parse (line 3, column 1: syntax error while parsing object key - "
              "unexpected '}'; expected string literal); until it is mended, tools that write, "
              "delete or send are refused.";
  }

  struct Row {
    const char* user;
    const char* system;
    bool envReadOnly;
    std::set<std::string> hiddenToo;  // listing: besides manifest_hidden and the refused tools
    std::map<std::string, std::string> refused;
  };
  const Row rows[] = {
      {"{}", "{}", false, {}, {}},
      // A stray comma: whether the file turns read-only mode on is unknown, so changes are held
      // back as in read-only mode, however writable the settings last read were.
      {"{\n  \"read_only\": false,\n}", "{}", false, {}, unreadable},
      // Mended: its settings apply.
      {R"({"disabled_tools": ["send_email", "x"]})",
       "{}",
       false,
       {},
       {{"send_email", policy("send_email")}}},
      {R"({"read_only": true})", "{}", false, {}, readOnly},
      {R"({"read_only": true, "disabled_tools": ["send_email"]})", "{}", false, {}, withPolicy},
      // The organisation's file keeps read-only mode on, whatever the user's file says.
      {R"({"read_only": false})", R"({"read_only": true})", false, {}, readOnly},
      {"{}", "{}", true, {}, readOnly},
      {R"({"disabled_services": ["mail"]})",
       "{}",
       false,
       {},
       {{"list_emails", service("mail")}, {"send_email", service("mail")}}},
      {R"({"disabled_services": ["safari", "reminders"]})",
       "{}",
       false,
       {},
       {{"list_safari_bookmarks", service("safari")},
        {"safari_click", service("safari")},
        {"todo_list_tasks", service("reminders")}}},
      // Any value hides the welcome tool from the listing; a call still runs it.
      {R"({"first_tool_call_at": null})", "{}", false, {"tvrn_welcome"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.user) + " / " + row.system + (row.envReadOnly ? " / env" : ""));
    writeSettings(row.user, row.system);
    row.envReadOnly ? ::setenv("TVRN_READ_ONLY", "1", 1) : ::unsetenv("TVRN_READ_ONLY");

    std::vector<std::string> expectedListing;
    for (const auto& [name, kind] : kinds) {
      if (name != "manifest_hidden" && !row.hiddenToo.count(name) && !row.refused.count(name)) {
        expectedListing.push_back(name);
      }
      auto refusal = row.refused.find(name);
      EXPECT_EQ(outcome(registry.dispatch(name, std::nullopt)),
                refusal != row.refused.end() ? refusal->second : "ran " + name + " v1");
    }
    EXPECT_EQ(listedNames(registry), expectedListing);
  }
}

TEST(ToolRegistryTest, ListingAndReplacement) {
  ToolRegistry registry;
  EXPECT_EQ(registry.listPayload().encode(), R"({"tools":[]})");
  EXPECT_EQ(outcome(registry.dispatch("nope", std::nullopt)), "Not found: tool 'nope'");

  // By code point: upper case before lower case, non-ASCII last.
  for (const char* name : {"\u00e9t\u00e9", "b_tool", "a_tool", "Z_tool"}) {
    registry.registerTool(toolNamed(name));
  }
  registry.registerTool(
      {"a_tool", "second", nlohmann::json::parse(R"({"type": "object", "required": ["n"],
                             "properties": {"n": {"type": "integer", "default": 5},
                                            "r": {"default": 0.5}, "f": {"default": true},
                                            "p": {"type": "string", "x-tavrin-path": true}}})"),
       ToolKind::destructive, [](const std::optional<JSONValue>& arguments) -> ToolResult {
         return arguments.value_or(JSONValue());
       }});
  EXPECT_EQ(listedNames(registry),
            (std::vector<std::string>{"Z_tool", "a_tool", "b_tool", "\u00e9t\u00e9"}));
  EXPECT_EQ(registry.listPayload().rawValue()["tools"][1], nlohmann::json::parse(R"({
      "name": "a_tool", "description": "second",
      "inputSchema": {"type": "object", "required": ["n"], "properties": {
          "n": {"type": "integer", "default": 5}, "r": {"default": 0.5},
          "f": {"default": true}, "p": {"type": "string"}}}})"));

  // The last registration runs, with the arguments exactly as sent.
  auto result = registry.dispatch("a_tool", *JSONValue::decode(R"({"n": 3})"));
  EXPECT_EQ(result.value().encode(), R"({"n":3})");
  EXPECT_EQ(nlohmann::json::parse(registry.exportJSON())[1]["kind"], "dt");
  EXPECT_EQ(registry.allToolNames().size(), 4u);
}

// A family's scope reaches only the tools it registers here, on this thread, that name no
// service of their own; a withdrawn tool's placeholder stays under its service.
TEST(ToolRegistryTest, ServiceScopesStampTheToolsRegisteredWithin) {
  ToolRegistry registry;
  ToolRegistry other;
  {
    ToolRegistry::ServiceScope office(registry, "office");
    registry.registerTool(toolNamed("word_read"));
    {
      ToolRegistry::ServiceScope reminders(registry, "reminders");
      ToolRegistry::ServiceScope elsewhere(other, "teams");
      registry.registerTool(toolNamed("list_reminders"));
      other.registerTool(toolNamed("teams_list_chats"));
    }
    ToolDefinition own = toolNamed("finder_list");
    own.service = "finder";
    registry.registerTool(std::move(own));
    std::thread([&registry] { registry.registerTool(toolNamed("from_a_thread")); }).join();
    other.registerTool(toolNamed("unscoped_elsewhere"));
  }
  registry.registerTool(toolNamed("after_the_scope"));
  registry.unregisterTool("word_read");

  const std::map<std::string, std::optional<std::string>> expected = {
      {"word_read", "office"},        {"list_reminders", "reminders"}, {"finder_list", "finder"},
      {"from_a_thread", std::nullopt}, {"after_the_scope", std::nullopt}, {"nope", std::nullopt},
  };
  for (const auto& [name, service] : expected) EXPECT_EQ(registry.serviceFor(name), service) << name;
  EXPECT_EQ(other.serviceFor("teams_list_chats"), "teams");
  EXPECT_EQ(other.serviceFor("unscoped_elsewhere"), std::nullopt);

  writeSettings(R"({"disabled_services": ["office"]})");
  EXPECT_EQ(listedNames(registry),
            (std::vector<std::string>{"after_the_scope", "finder_list", "from_a_thread",
                                      "list_reminders"}));
}

TEST(ToolRegistryTest, WithdrawnToolStaysListedAndAnswersNotFound) {
  ToolRegistry registry;
  registry.registerTool(toolNamed("mf_weather", ToolKind::write));
  registry.unregisterTool("mf_weather");
  registry.unregisterTool("never_registered");

  writeSettings(R"({"read_only": true})");  // the placeholder is read-only: still listed
  const auto placeholder = [](const char* name) {
    return nlohmann::json{
        {"name", name},
        {"description", "[removed]"},
        {"inputSchema", {{"type", "object"}, {"properties", nlohmann::json::object()}}}};
  };
  EXPECT_EQ(registry.listPayload().rawValue()["tools"],
            nlohmann::json::array({placeholder("mf_weather"), placeholder("never_registered")}));
  EXPECT_EQ(registry.dispatch("mf_weather", std::nullopt).error(),
            ToolError::notFound("tool 'mf_weather' is no longer available"));

  writeSettings("{}");
  registry.registerTool(toolNamed("mf_weather", ToolKind::write, "v2"));
  EXPECT_EQ(outcome(registry.dispatch("mf_weather", std::nullopt)), "ran mf_weather v2");
}

TEST(ToolRegistryTest, ListingFollowsTheManifestInForce) {
  ManifestStore store;
  ToolRegistry registry(hidingByManifest([&store] { return store.disabledToolNames(); }));
  for (const char* name : {"a_tool", "b_tool"}) registry.registerTool(toolNamed(name));

  Manifest manifest;
  manifest.disabledTools = {"b_tool"};
  store.setManifest(manifest);
  EXPECT_EQ(listedNames(registry), std::vector<std::string>{"a_tool"});
  EXPECT_EQ(outcome(registry.dispatch("b_tool", std::nullopt)), "ran b_tool v1");

  store.setManifest(std::nullopt);
  EXPECT_EQ(listedNames(registry), (std::vector<std::string>{"a_tool", "b_tool"}));
}

// The manifest engine changes the table while sessions list and dispatch from their threads.
TEST(ToolRegistryTest, RegistrationRacesWithDispatchAndListing) {
  ToolRegistry registry;
  constexpr int kTools = 8;
  for (int i = 0; i < kTools; ++i) registry.registerTool(toolNamed("t" + std::to_string(i)));

  std::atomic<bool> done{false};
  std::thread engine([&] {
    for (int round = 0; round < 300; ++round) {
      const std::string name = "t" + std::to_string(round % kTools);
      round % 2 ? registry.registerTool(toolNamed(name, ToolKind::readOnly, "v2"))
                : registry.unregisterTool(name);
      registry.registerTool(toolNamed("extra" + std::to_string(round)));
    }
    done = true;
  });
  std::atomic<int> unexpected{0};
  std::vector<std::thread> sessions;
  for (int s = 0; s < 4; ++s) {
    sessions.emplace_back([&, s] {
      for (int i = 0; !done || i < 50; ++i) {
        const std::string name = "t" + std::to_string((i + s) % kTools);
        const std::string text = outcome(registry.dispatch(name, std::nullopt));
        // A whole old or a whole new definition answers, never anything else.
        if (text != "ran " + name + " v1" && text != "ran " + name + " v2" &&
            text != "Not found: tool '" + name + "' is no longer available") {
          ++unexpected;
        }
        if (i % 8 == 0 && listedNames(registry).size() < kTools) ++unexpected;
      }
    });
  }
  engine.join();
  for (auto& session : sessions) session.join();
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(registry.allToolNames().size(), kTools + 300u);
}

// Handlers run outside the guard: side by side, and free to change the registry themselves.
TEST(ToolRegistryTest, HandlersRunOutsideTheGuard) {
  ToolRegistry registry;
  std::latch bothInside(2);
  registry.registerTool({"meet", "", nlohmann::json::object(), ToolKind::readOnly,
                         [&](const std::optional<JSONValue>&) -> ToolResult {
                           bothInside.arrive_and_wait();
                           registry.registerTool(toolNamed("added_by_handler"));
                           return registry.listPayload();
                         }});
  std::thread other([&] { EXPECT_TRUE(registry.dispatch("meet", std::nullopt).ok()); });
  EXPECT_TRUE(registry.dispatch("meet", std::nullopt).ok());
  other.join();
  EXPECT_TRUE(registry.tool("added_by_handler").has_value());
}

}  // namespace
}  // namespace tvrn
