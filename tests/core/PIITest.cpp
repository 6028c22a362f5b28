#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/PIISanitizer.h"
#include "core/PIISession.h"

namespace tvrn {
namespace {

std::string sanitizeText(const std::string& text, PIISession& session) {
  return *PIISanitizer::sanitize(JSONValue(text), session).asString();
}

TEST(PIITest, FindsAddressesAndNumbersInTextAndLeavesTheRest) {
  const std::pair<std::string, std::string> rows[] = {
      {"Write to ann@example.com today.", "Write to [EMAIL:0001] today."},
      {"a.b+tag_1%x@mail.co.uk", "[EMAIL:0001]"},
      {"Call 555-123-4567 after lunch", "Call [PHONE:0001] after lunch"},
      {"+44 20 7946 0958", "[PHONE:0001]"},
      {"(020) 7946.0958", "[PHONE:0001]"},
      {"555\n123\n4567", "[PHONE:0001]"},
      {"555\u00A0123\u00A04567", "[PHONE:0001]"},
      {"order 123456789 shipped", "order [PHONE:0001] shipped"},
      // Two new values in one text: the later one is numbered first.
      {"x@a.io and y@b.io", "[EMAIL:0002] and [EMAIL:0001]"},
      {"555-123-4567 or 555-987-6543", "[PHONE:0002] or [PHONE:0001]"},
      {"a@b.com%x@y.org", "[EMAIL:0002][EMAIL:0001]"},  // the second starts where the first ends
      {"bob123456789@example.org", "[EMAIL:0001]"},
      {"ünïcode ann@example.com ✓", "ünïcode [EMAIL:0001] ✓"},
      // Stray bytes spoil nothing around them, and no match reaches across one.
      {"\x80"
       "bob@x.io, 555-123-4567 \xE2\x82",
       "\x80[EMAIL:0001], [PHONE:0001] \xE2\x82"},
      {"ann@exa\xFFmple.com 555-123\xED\xA0\x80-4567", ""},
      // Left alone.
      {"12345678", ""},
      {"Due 2024-01-15 at 10:30", ""},
      {"ann@example.c root@localhost", ""},
      {"555\v123\v4567 555\u0085"
       "123\u0085"
       "4567",
       ""},  // vertical tab, next-line
      {"\uFF15\uFF15\uFF15-\uFF11\uFF12\uFF13-\uFF14\uFF15\uFF16\uFF17", ""},  // full-width
      {"already [EMAIL:0001] and [PHONE:0003]", ""},
  };
  for (const auto& [input, expected] : rows) {
    PIISession session;
    EXPECT_EQ(sanitizeText(input, session), expected.empty() ? input : expected) << input;
  }
}

TEST(PIITest, ASessionReusesTokensAndOtherSessionsStartAfresh) {
  PIISession session;
  const char* steps[][3] = {
      {"Ann@Example.com", "EMAIL", "[EMAIL:0001]"},
      {"ANN@EXAMPLE.COM", "EMAIL", "[EMAIL:0001]"},
      {" \tann@example.com\t ", "EMAIL", "[EMAIL:0001]"},
      {"bob@example.com", "EMAIL", "[EMAIL:0002]"},
      {"555-123-4567", "PHONE", "[PHONE:0001]"},
      {"ann@example.com", "PHONE", "[PHONE:0002]"},  // the prefix is part of the key
  };
  for (const auto& [value, prefix, token] : steps) {
    EXPECT_EQ(session.tokenize(value, prefix), token) << value;
  }
  EXPECT_EQ(sanitizeText("Mail ANN@example.COM, 555-123-4567", session),
            "Mail [EMAIL:0001], [PHONE:0001]");
  EXPECT_EQ(session.tokenCount(), 4u);
  EXPECT_EQ(session.resolve("[EMAIL:0001]"), "Ann@Example.com") << "the first-seen form";
  EXPECT_EQ(session.resolve("[EMAIL:0003]"), std::nullopt);

  PIISession other;
  EXPECT_EQ(sanitizeText("bob@example.com", other), "[EMAIL:0001]");
  EXPECT_EQ(other.resolveAll("[EMAIL:0001] [EMAIL:0002]"), "bob@example.com [EMAIL:0002]");

  PIISession many;
  std::vector<std::string> tokens;
  for (int i = 1; i <= 0x10000; ++i) {
    tokens.push_back(many.tokenize("u" + std::to_string(i) + "@x.io", "EMAIL"));
  }
  EXPECT_EQ(tokens[0xf], "[EMAIL:0010]");
  EXPECT_EQ(tokens[0xab], "[EMAIL:00ac]");
  EXPECT_EQ(tokens[0xfffe], "[EMAIL:ffff]");
  EXPECT_EQ(tokens[0xffff], "[EMAIL:10000]");
}

TEST(PIITest, SanitizesEveryStringOfANestedResultButNoKeysOrNumbers) {
  const auto tree = JSONValue::decode(R"({
    "content": [{"type": "text", "text": "From ann@example.com, tel 555-123-4567"}],
    "ann@example.com": "key stays",
    "attendees": [["bob@example.com", 5551234567], {"deep": {"phone": "+1 555 123 4567"}}],
    "count": 5551234567, "ratio": 555123456.7, "flag": true, "none": null
  })");
  ASSERT_TRUE(tree);
  PIISession session;
  const JSONValue sanitized = PIISanitizer::sanitize(*tree, session);
  EXPECT_EQ(sanitized.rawValue(), nlohmann::json::parse(R"({
    "content": [{"type": "text", "text": "From [EMAIL:0002], tel [PHONE:0002]"}],
    "ann@example.com": "key stays",
    "attendees": [["[EMAIL:0001]", 5551234567], {"deep": {"phone": "[PHONE:0001]"}}],
    "count": 5551234567, "ratio": 555123456.7, "flag": true, "none": null
  })"));
  EXPECT_EQ(PIISanitizer::resolve(sanitized, session).rawValue(), tree->rawValue());
}

TEST(PIITest, ResolvesKnownTokensInOnePass) {
  EXPECT_EQ(PIISession().resolveAll("[EMAIL:0001] stays"), "[EMAIL:0001] stays");
  PIISession session;
  session.tokenize("ann@example.com", "EMAIL");
  session.tokenize("see [EMAIL:0001]", "NOTE");  // a value that looks as if it held a token
  const std::pair<const char*, const char*> rows[] = {
      {"to [EMAIL:0001].", "to ann@example.com."},
      {"[[EMAIL:0001]][EMAIL:0001]", "[ann@example.com]ann@example.com"},
      {"[EMAIL:0002] [email:0001] [EMAIL:0001", "[EMAIL:0002] [email:0001] [EMAIL:0001"},
      {"[NOTE:0001]", "see [EMAIL:0001]"},
      {"[[[[", "[[[["},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(session.resolveAll(text), expected) << text;
}

TEST(PIITest, LargeTextsAreHandledWholeAndInLinearTime) {
  std::string text;
  for (int i = 0; text.size() < (1u << 20); ++i) {
    text += "Line " + std::to_string(i) + ": reach user" + std::to_string(i % 50) +
            "@example.com or 555-010-" + std::to_string(1000 + i % 30) + " about it.\n";
  }
  PIISession session;
  const std::string sanitized = sanitizeText(text, session);
  EXPECT_EQ(session.tokenCount(), 80u);
  EXPECT_EQ(sanitized.find("@example.com"), std::string::npos);
  EXPECT_EQ(session.resolveAll(sanitized), text);

  // A long run of address characters must not be searched again from every position in it.
  const std::string run(1u << 20, 'a');
  PIISession other;
  EXPECT_EQ(sanitizeText(run + "@ nowhere.x", other), run + "@ nowhere.x");
  EXPECT_EQ(sanitizeText("x@" + run + "-", other), "x@" + run + "-");
  EXPECT_EQ(sanitizeText(run + "@example.com", other), "[EMAIL:0001]");
}

TEST(PIITest, ThreadsSharingASessionAgreeOnTokens) {
  PIISession session;
  constexpr size_t kValues = 200;
  std::vector<std::vector<std::string>> tokens(8, std::vector<std::string>(kValues));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < tokens.size(); ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < kValues; ++i) {
        const size_t value = (i + t * 37) % kValues;  // each thread in its own order
        tokens[t][value] = session.tokenize("u" + std::to_string(value) + "@x.io", "EMAIL");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& seen : tokens) EXPECT_EQ(seen, tokens[0]);
  const std::set<std::string> distinct(tokens[0].begin(), tokens[0].end());
  EXPECT_EQ(distinct.size(), kValues);
  EXPECT_EQ(*distinct.rbegin(), "[EMAIL:00c8]");
}

}  // namespace
}  // namespace tvrn
