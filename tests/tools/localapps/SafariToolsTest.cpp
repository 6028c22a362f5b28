#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/FakeSafari.h"
#include "support/ToolCall.h"
#include "tools/localapps/SafariTexts.h"
#include "tools/localapps/SafariTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// Every character that could end or bend a script literal on its way to the page.
const std::string kAwkward = "it's \\ `tick` ${x}\nnext\xE2\x80\xA8line";

// Window 0 shows its second tab; window 1 holds a tab whose URL and text carry kAwkward.
json browser() {
  json world = json::parse(R"js({"windows": [
    {"current": 1, "tabs": [
      {"url": "https://docs.example/Guide", "name": "Guide", "source": "<html>guide</html>",
       "elements": [{"selector": "a", "text": "  One  ", "href": "https://a/1"},
                    {"selector": "a", "text": "x", "href": "javascript:void(0)"},
                    {"selector": "a", "text": "", "href": "https://a/2"}]},
      {"url": "https://mail.example/inbox", "name": "Inbox", "unreadable": ["source"],
       "text": "Say HELLO to the inbox, then hello again.",
       "elements": [{"selector": "button.go", "tag": "button", "text": "Go"},
                    {"selector": "button.go", "tag": "button", "value": "Second"},
                    {"selector": "a.next", "tag": "a", "text": "Next",
                     "navigate": "https://mail.example/next", "load_ms": 400},
                    {"selector": "a.stuck", "tag": "a", "navigate": "https://mail.example/stuck",
                     "load_ms": -1},
                    {"selector": "#late", "text": "Arrived late", "appear_ms": 1000}]}]},
    {"tabs": [{"name": "Cart"}, {"url": "https://locked.example/", "name": "Locked",
               "unreadable": ["text"]}]}]})js");
  world["windows"][0]["tabs"][0]["text"] = std::string(1024, 'g');
  world["windows"][0]["tabs"][1]["elements"].push_back(
      {{"selector", kAwkward}, {"tag", "span"}, {"text", "odd " + kAwkward}});
  world["windows"][1]["tabs"][0]["url"] = "https://shop.example/" + kAwkward;
  world["windows"][1]["tabs"][0]["text"] = std::string(1100, 'c') + "hello" + kAwkward;
  return world;
}

class SafariToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::FakeSafari::available()) GTEST_SKIP() << "node is not installed";
  }

  json call(const std::string& tool, const json& arguments, const json& world = browser()) {
    safari_ = std::make_unique<test::FakeSafari>(world);
    ToolRegistry registry;
    SafariTools::registerTools(registry, *safari_, *safari_);
    last_ = test::callTool(registry, tool, arguments);
    return test::jsonOf(last_);
  }

  static json refusingPageScripts() {
    json world = browser();
    world["javascript"] = false;
    return world;
  }

  std::unique_ptr<test::FakeSafari> safari_;
  ToolResult last_ = JSONValue();
};

TEST_F(SafariToolsTest, ReadTabChoosesByUrlThenByIndices) {
  const json cases = json::parse(R"([
    [{}, "Inbox"], [{"url_match": "DOCS.example", "window_index": 1}, "Guide"],
    [{"window_index": 1, "tab_index": 0}, "Cart"], [{"tab_index": 0}, "Guide"],
    [{"tab_index": -7}, "Inbox"], [{"window_index": 5}, {"error": "window_index 5 out of range"}],
    [{"window_index": -1}, {"error": "window_index -1 out of range"}],
    [{"tab_index": 9}, {"error": "tab_index 9 out of range in window 0"}]])");
  for (const auto& c : cases) {
    const json reply = call("safari_read_tab", c[0]);
    EXPECT_EQ(c[1].is_string() ? reply["title"] : reply, c[1]) << c[0];
  }
  EXPECT_EQ(call("safari_read_tab", {{"url_match", kAwkward}})["title"], "Cart");
  EXPECT_EQ(call("safari_read_tab", {{"url_match", "No" + kAwkward}})["error"],
            "No open tab matches 'No" + kAwkward + "'. Call safari_list_tabs to see what's open.");
}

TEST_F(SafariToolsTest, ReadTabClampsItsSizeAndReportsWhatItCouldNotRead) {
  // Each row: arguments, then the text length and whether it was cut (the awkward tail is 28).
  const json cases = json::parse(R"([
    [{"window_index": 1, "tab_index": 0, "max_bytes": 10}, 1024, true],
    [{"window_index": 1, "tab_index": 0, "max_bytes": 5000000}, 1133, false],
    [{"tab_index": 0, "max_bytes": 10}, 1024, false]])");
  for (const auto& c : cases) {
    const json reply = call("safari_read_tab", c[0]);
    EXPECT_EQ(reply["text_bytes"], c[1]) << c[0];
    EXPECT_EQ(reply["truncated"], c[2]) << c[0];
  }
  EXPECT_EQ(call("safari_read_tab", {{"window_index", 1}, {"tab_index", 1}})["text"],
            SafariTexts::kTextUnavailable);
  EXPECT_EQ(call("safari_read_tab", {{"include_html", true}})["html_bytes"], 0);

  const json links = call("safari_read_tab", {{"tab_index", 0}, {"include_links", true}});
  EXPECT_EQ(links["links"], json::parse(R"([{"text": "One", "href": "https://a/1"}])"));
  EXPECT_EQ(links["link_count"], 1);
  EXPECT_FALSE(links.contains("html"));
  const json refused =
      call("safari_read_tab", {{"tab_index", 0}, {"include_links", true}}, refusingPageScripts());
  EXPECT_EQ(refused["links_error"], SafariTexts::kLinksError);
  EXPECT_EQ(refused["link_count"], 0);
  EXPECT_EQ(refused["text_bytes"], 1024);
}

TEST_F(SafariToolsTest, SearchFindsTheFirstMatchPerTabWithItsContext) {
  const json reply = call("safari_search_tabs", {{"query", "HELLO"}, {"context", 5}});
  EXPECT_EQ(reply["query"], "HELLO");
  EXPECT_EQ(reply["scanned"], 4);
  ASSERT_EQ(reply["hits"].size(), 2u);
  EXPECT_EQ(reply["hits"][0], json::parse(R"({"window_index": 0, "tab_index": 1, "title": "Inbox",
    "url": "https://mail.example/inbox", "snippet": "Say HELLO to the inbox, then …"})"));
  EXPECT_EQ(reply["hits"][1]["snippet"],
            "…" + std::string(20, 'c') + "hello" + kAwkward.substr(0, 20) + "…");
  for (const int tabs : {0, -4, 2}) {
    const json limited = call("safari_search_tabs", {{"query", "zzz"}, {"max_tabs", tabs}});
    EXPECT_EQ(limited["scanned"], std::max(tabs, 0));
  }
  const json awkward = call("safari_search_tabs", {{"query", kAwkward}, {"context", 500}});
  EXPECT_EQ(awkward["query"], kAwkward);
  EXPECT_EQ(awkward["hits"][0]["snippet"], "…" + std::string(495, 'c') + "hello" + kAwkward);
}

TEST_F(SafariToolsTest, ClickReportsWhatItHitAndWaitsForNavigationOnRequest) {
  const json cases = json::parse(R"([
    [{"selector": "button.none"}, {"clicked": false, "reason": "no match for selector"}],
    [{"selector": "button.go", "nth": 2},
     {"clicked": false, "reason": "nth index out of range", "matches": 2}],
    [{"selector": "button.none", "wait_for_navigation": true},
     {"clicked": false, "reason": "no match for selector"}],
    [{"selector": "button.go", "nth": 1}, {"clicked": true, "tag": "BUTTON", "text": "Second",
     "matches": 2, "url_before": "https://mail.example/inbox"}]])");
  for (const auto& c : cases) {
    EXPECT_EQ(call("safari_click", c[0]), (json{{"ok", true}, {"result", c[1]}})) << c[0];
  }
  EXPECT_EQ(call("safari_click", {{"selector", kAwkward}})["result"]["text"], "odd " + kAwkward);
  EXPECT_EQ(safari_->selectors(), std::vector<std::string>{kAwkward});

  const json waits = json::parse(R"([
    ["a.next", {"url_after": "https://mail.example/next", "navigated": true, "wait_ms": 600}],
    ["button.go", {"url_after": "https://mail.example/inbox", "navigated": false, "wait_ms": 600}],
    ["a.stuck", {"url_after": "https://mail.example/stuck", "navigated": true, "wait_ms": 3000,
                 "timed_out": true}]])");
  for (const auto& w : waits) {
    json reply = call("safari_click", {{"selector", w[0]}, {"wait_for_navigation", true}});
    EXPECT_EQ(reply["result"]["clicked"], true);
    reply.erase("ok");
    reply.erase("result");
    EXPECT_EQ(reply, w[1]) << w[0];
  }
}

TEST_F(SafariToolsTest, ClickAndWaitExplainAMissingWindowOrRefusedPageScripts) {
  const json noWindow = {{"windows", json::array()}};
  const json missing = {{"error", SafariTexts::kNoWindow}};
  EXPECT_EQ(call("safari_click", {{"selector", "a"}}, noWindow), missing);
  EXPECT_EQ(call("safari_wait_for", {{"selector", "a"}}, noWindow), missing);
  call("safari_click", {{"selector", "a"}, {"wait_for_navigation", true}}, noWindow);
  EXPECT_EQ(test::textOf(last_).rfind("failed: JXA: TypeError", 0), 0u) << test::textOf(last_);

  const json setup = {{"error", SafariTexts::kJavaScriptDisabled}};
  EXPECT_EQ(call("safari_click", {{"selector", "button.go"}}, refusingPageScripts()), setup);
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#late"}}, refusingPageScripts()), setup);
  EXPECT_EQ(safari_->pageLog().size(), 1u);  // asked once, not polled
  const json polled =
      call("safari_click", {{"selector", "button.go"}, {"wait_for_navigation", true}},
           refusingPageScripts());
  EXPECT_EQ(polled["error"], SafariTexts::kJavaScriptDisabled);
  EXPECT_EQ(polled["timed_out"], true);
}

TEST_F(SafariToolsTest, WaitForPollsOnAVirtualClockWithinItsClampedTime) {
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#late"}}), json::parse(R"({"waited_ms": 1000,
              "element": {"found": true, "tag": "DIV", "text": "Arrived late"}})"));
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#late"}, {"timeout_ms", 100}}),
            json::parse(R"({"error": "Timed out waiting for selector after 500ms",
              "last_probe": {"ok": true, "result": {"found": false}}})"));
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#no"}, {"timeout_ms", 60000}})["error"],
            "Timed out waiting for selector after 30000ms");
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#late"},
                                     {"text_match", "arrived"},
                                     {"timeout_ms", 2000}})["last_probe"]["result"],
            json::parse(R"({"found": false, "reason": "text_mismatch", "saw": "Arrived late"})"));
  const json awkward = call("safari_wait_for", {{"selector", kAwkward}, {"text_match", kAwkward}});
  EXPECT_EQ(awkward["element"]["text"], "odd " + kAwkward);
  EXPECT_EQ(safari_->selectors().front(), kAwkward);
}

}  // namespace
}  // namespace tvrn
