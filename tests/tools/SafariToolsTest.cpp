#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeSafari.h"
#include "tools/SafariTexts.h"
#include "tools/SafariTools.h"
#include "tools/ToolCall.h"

namespace tvrn {
namespace {

using nlohmann::json;

// Every character that could end or bend a script literal on its way to the page.
const std::string kAwkward = "it's \\ `tick` ${x}\nnext\xE2\x80\xA8line";

json anchors() {
  return json::array(
      {{{"selector", "a.nav"}, {"tag", "a"}, {"text", "  One  "}, {"href", "https://a/1"}},
       {{"selector", "a.nav"}, {"tag", "a"}, {"text", "x"}, {"href", "javascript:void(0)"}},
       {{"selector", "a.nav"}, {"tag", "a"}, {"text", ""}, {"href", "https://a/2"}}});
}

json browser() {
  return {
      {"windows",
       {{{"current", 1},
         {"tabs",
          {{{"url", "https://docs.example/Guide"},
            {"name", "Guide"},
            {"text", std::string(1024, 'g')},
            {"source", "<html>guide</html>"},
            {"elements", anchors()}},
           {{"url", "https://mail.example/inbox"},
            {"name", "Inbox"},
            {"text", "Say HELLO to the inbox, then hello again."},
            {"unreadable", {"source"}},
            {"elements",
             {{{"selector", "button.go"}, {"tag", "button"}, {"text", "Go"}},
              {{"selector", "button.go"}, {"tag", "button"}, {"value", "Second"}},
              {{"selector", "a.next"},
               {"tag", "a"},
               {"text", "Next"},
               {"navigate", "https://mail.example/next"},
               {"load_ms", 400}},
              {{"selector", "a.stuck"},
               {"tag", "a"},
               {"text", "Stuck"},
               {"navigate", "https://mail.example/stuck"},
               {"load_ms", -1}},
              {{"selector", "#late"},
               {"tag", "div"},
               {"text", "Arrived late"},
               {"appear_ms", 1000}},
              {{"selector", kAwkward}, {"tag", "span"}, {"text", "odd " + kAwkward}}}}}}}},
        {{"tabs",
          {{{"url", "https://shop.example/" + kAwkward},
            {"name", "Cart"},
            {"text", std::string(1100, 'c') + "hello" + kAwkward}},
           {{"url", "https://locked.example/"}, {"name", "Locked"}, {"unreadable", {"text"}}}}}}}}};
}

class SafariToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::FakeSafari::available()) GTEST_SKIP() << "node is not installed";
  }

  json call(const std::string& tool, const json& arguments, json world = browser()) {
    safari_ = std::make_unique<test::FakeSafari>(world);
    ToolRegistry registry;
    SafariTools::registerTools(registry, *safari_, *safari_);
    last_ = test::callTool(registry, tool, arguments);
    return test::jsonOf(last_);
  }

  std::unique_ptr<test::FakeSafari> safari_;
  ToolResult last_ = JSONValue();
};

TEST_F(SafariToolsTest, ReadTabChoosesByUrlThenByIndices) {
  struct Case {
    json arguments;
    json expected;  // the title, or the error object
  } cases[] = {
      {json::object(), "Inbox"},
      {{{"url_match", "DOCS.example"}, {"window_index", 1}}, "Guide"},
      {{{"window_index", 1}, {"tab_index", 0}}, "Cart"},
      {{{"window_index", 0}, {"tab_index", 0}}, "Guide"},
      {{{"tab_index", -7}}, "Inbox"},
      {{{"url_match", kAwkward}}, "Cart"},
      {{{"window_index", 5}}, {{"error", "window_index 5 out of range"}}},
      {{{"window_index", -1}}, {{"error", "window_index -1 out of range"}}},
      {{{"tab_index", 9}}, {{"error", "tab_index 9 out of range in window 0"}}},
      {{{"url_match", "Nowhere" + kAwkward}},
       {{"error", "No open tab matches 'Nowhere" + kAwkward +
                      "'. Call safari_list_tabs to see what's open."}}},
  };
  for (const auto& c : cases) {
    const json reply = call("safari_read_tab", c.arguments);
    if (c.expected.is_string()) {
      EXPECT_EQ(reply["title"], c.expected) << c.arguments;
    } else {
      EXPECT_EQ(reply, c.expected) << c.arguments;
    }
  }
}

TEST_F(SafariToolsTest, ReadTabClampsItsSizeAndReportsWhatItCouldNotRead) {
  struct Case {
    json arguments;
    std::size_t bytes;
    bool truncated;
  } cases[] = {
      {{{"window_index", 1}, {"tab_index", 0}, {"max_bytes", 10}}, 1024, true},
      {{{"window_index", 1}, {"tab_index", 0}, {"max_bytes", 5000000}}, 1105 + 28, false},
      {{{"tab_index", 0}, {"max_bytes", 10}}, 1024, false},
  };
  for (const auto& c : cases) {
    const json reply = call("safari_read_tab", c.arguments);
    EXPECT_EQ(reply["text_bytes"], c.bytes) << c.arguments;
    EXPECT_EQ(reply["truncated"], c.truncated) << c.arguments;
  }

  const json locked = call("safari_read_tab", {{"window_index", 1}, {"tab_index", 1}});
  EXPECT_EQ(locked["text"], SafariTexts::kTextUnavailable);
  EXPECT_EQ(locked["url"], "https://locked.example/");

  const json noSource = call("safari_read_tab", {{"include_html", true}});
  EXPECT_EQ(noSource["html"], "");
  EXPECT_EQ(noSource["html_bytes"], 0);
  EXPECT_FALSE(noSource.contains("html_truncated"));

  const json links = call("safari_read_tab", {{"tab_index", 0}, {"include_links", true}});
  EXPECT_EQ(links["links"], json::array({{{"text", "One"}, {"href", "https://a/1"}}}));
  EXPECT_EQ(links["link_count"], 1);
  EXPECT_FALSE(links.contains("html_bytes"));

  json refusing = browser();
  refusing["javascript"] = false;
  const json noLinks =
      call("safari_read_tab", {{"tab_index", 0}, {"include_links", true}}, refusing);
  EXPECT_EQ(noLinks["links"], json::array());
  EXPECT_EQ(noLinks["link_count"], 0);
  EXPECT_EQ(noLinks["links_error"], SafariTexts::kLinksError);
  EXPECT_EQ(noLinks["title"], "Guide");
}

TEST_F(SafariToolsTest, SearchFindsTheFirstMatchPerTabWithItsContext) {
  const json reply = call("safari_search_tabs", {{"query", "HELLO"}, {"context", 5}});
  EXPECT_EQ(reply["query"], "HELLO");
  EXPECT_EQ(reply["scanned"], 4);
  ASSERT_EQ(reply["hits"].size(), 2u);
  EXPECT_EQ(reply["hits"][0], (json{{"window_index", 0},
                                    {"tab_index", 1},
                                    {"title", "Inbox"},
                                    {"url", "https://mail.example/inbox"},
                                    {"snippet", "Say HELLO to the inbox, then …"}}));
  EXPECT_EQ(reply["hits"][1]["snippet"],
            "…" + std::string(20, 'c') + "hello" + kAwkward.substr(0, 20) + "…");

  struct Case {
    json arguments;
    std::size_t scanned;
  } limits[] = {{{{"query", "zzz"}, {"max_tabs", 0}}, 0},
                {{{"query", "zzz"}, {"max_tabs", -4}}, 0},
                {{{"query", "zzz"}, {"max_tabs", 2}}, 2}};
  for (const auto& c : limits) {
    const json limited = call("safari_search_tabs", c.arguments);
    EXPECT_EQ(limited["scanned"], c.scanned) << c.arguments;
    EXPECT_EQ(limited["hits"], json::array());
  }

  const json awkward = call("safari_search_tabs", {{"query", kAwkward}, {"context", 500}});
  EXPECT_EQ(awkward["query"], kAwkward);
  ASSERT_EQ(awkward["hits"].size(), 1u);
  EXPECT_EQ(awkward["hits"][0]["snippet"], "…" + std::string(500 - 5, 'c') + "hello" + kAwkward);
  call("safari_search_tabs", {{"query", " "}});
  EXPECT_EQ(test::textOf(last_), "FAILED: Invalid 'query': expected non-empty string");
}

TEST_F(SafariToolsTest, ClickReportsWhatItHitAndWaitsForNavigationOnRequest) {
  struct Case {
    json arguments;
    json result;
  } cases[] = {
      {{{"selector", "button.none"}}, {{"clicked", false}, {"reason", "no match for selector"}}},
      {{{"selector", "button.go"}, {"nth", 2}},
       {{"clicked", false}, {"reason", "nth index out of range"}, {"matches", 2}}},
      {{{"selector", "button.none"}, {"wait_for_navigation", true}},
       {{"clicked", false}, {"reason", "no match for selector"}}},
      {{{"selector", "button.go"}, {"nth", 1}},
       {{"clicked", true},
        {"tag", "BUTTON"},
        {"text", "Second"},
        {"matches", 2},
        {"url_before", "https://mail.example/inbox"}}},
      {{{"selector", kAwkward}},
       {{"clicked", true},
        {"tag", "SPAN"},
        {"text", "odd " + kAwkward},
        {"matches", 1},
        {"url_before", "https://mail.example/inbox"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(call("safari_click", c.arguments), (json{{"ok", true}, {"result", c.result}}))
        << c.arguments;
    EXPECT_EQ(safari_->selectors().front(), c.arguments["selector"]);
  }

  struct Wait {
    std::string selector;
    json expected;
  } waits[] = {
      {"a.next",
       {{"url_after", "https://mail.example/next"}, {"navigated", true}, {"wait_ms", 600}}},
      {"button.go",
       {{"url_after", "https://mail.example/inbox"}, {"navigated", false}, {"wait_ms", 600}}},
      {"a.stuck",
       {{"url_after", "https://mail.example/stuck"},
        {"navigated", true},
        {"wait_ms", 3000},
        {"timed_out", true}}},
  };
  for (const auto& w : waits) {
    json reply = call("safari_click", {{"selector", w.selector}, {"wait_for_navigation", true}});
    EXPECT_EQ(reply["result"]["clicked"], true);
    reply.erase("ok");
    reply.erase("result");
    EXPECT_EQ(reply, w.expected) << w.selector;
  }
}

TEST_F(SafariToolsTest, ClickAndWaitExplainAMissingWindowOrRefusedPageScripts) {
  const json noWindow = {{"windows", json::array()}};
  EXPECT_EQ(call("safari_click", {{"selector", "a"}}, noWindow),
            (json{{"error", SafariTexts::kNoWindow}}));
  EXPECT_EQ(call("safari_wait_for", {{"selector", "a"}}, noWindow),
            (json{{"error", SafariTexts::kNoWindow}}));
  call("safari_click", {{"selector", "a"}, {"wait_for_navigation", true}}, noWindow);
  ASSERT_FALSE(last_.ok());
  EXPECT_EQ(last_.error().description().rfind("JXA: TypeError", 0), 0u)
      << last_.error().description();

  json refusing = browser();
  refusing["javascript"] = false;
  const json setup = {{"error", SafariTexts::kJavaScriptDisabled}};
  EXPECT_EQ(call("safari_click", {{"selector", "button.go"}}, refusing), setup);
  EXPECT_EQ(call("safari_wait_for", {{"selector", "#late"}}, refusing), setup);
  EXPECT_EQ(safari_->pageLog().size(), 1u);  // asked once, not polled
  json afterPolling =
      call("safari_click", {{"selector", "button.go"}, {"wait_for_navigation", true}}, refusing);
  EXPECT_EQ(afterPolling["error"], SafariTexts::kJavaScriptDisabled);
  EXPECT_EQ(afterPolling["timed_out"], true);
}

TEST_F(SafariToolsTest, WaitForPollsOnAVirtualClockWithinItsClampedTime) {
  const json late = call("safari_wait_for", {{"selector", "#late"}});
  EXPECT_EQ(late["element"], (json{{"found", true}, {"tag", "DIV"}, {"text", "Arrived late"}}));
  EXPECT_EQ(late["waited_ms"], 1000);

  const json shortWait = call("safari_wait_for", {{"selector", "#late"}, {"timeout_ms", 100}});
  EXPECT_EQ(shortWait["error"], "Timed out waiting for selector after 500ms");
  EXPECT_EQ(shortWait["last_probe"], (json{{"ok", true}, {"result", {{"found", false}}}}));

  const json longWait = call("safari_wait_for", {{"selector", "#never"}, {"timeout_ms", 60000}});
  EXPECT_EQ(longWait["error"], "Timed out waiting for selector after 30000ms");

  const json mismatch = call(
      "safari_wait_for", {{"selector", "#late"}, {"text_match", "arrived"}, {"timeout_ms", 2000}});
  EXPECT_EQ(mismatch["last_probe"]["result"],
            (json{{"found", false}, {"reason", "text_mismatch"}, {"saw", "Arrived late"}}));

  const json awkward = call("safari_wait_for", {{"selector", kAwkward}, {"text_match", kAwkward}});
  EXPECT_EQ(awkward["element"]["text"], "odd " + kAwkward);
  EXPECT_EQ(awkward["waited_ms"], 0);
  EXPECT_EQ(safari_->selectors().front(), kAwkward);
}

}  // namespace
}  // namespace tvrn
