#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/JSONRPC.h"
#include "core/JSONText.h"
#include "core/JSONValue.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::string nlohmannText(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Every ASCII byte, and characters of two, three and four bytes, at each position of a short
// text and of the first blocks of a longer one, with and without text after it that needs no
// escaping: the written string is nlohmann's, byte for byte.
TEST(JSONTextTest, EscapesEachByteAtEachPositionAsNlohmannDoes) {
  std::vector<std::string> characters;
  for (int byte = 0; byte < 0x80; ++byte) characters.emplace_back(1, static_cast<char>(byte));
  for (const char* wide : {"é", "→", "😀"}) characters.emplace_back(wide);
  for (const auto& character : characters) {
    for (std::size_t before = 0; before < 35; ++before) {
      for (const std::size_t after : {0, 1, 11, 16}) {
        const std::string text = std::string(before, 'a') + character + std::string(after, 'b');
        std::string written = "kept";
        ASSERT_TRUE(JSONText::appendString(written, text));
        ASSERT_EQ(written, "kept" + json(text).dump())
            << "character " << json(character).dump() << " after " << before;
      }
    }
  }
}

// Text dense with escapes, long enough to be written in several pieces, with characters of
// several bytes across the pieces' edges: the written string is nlohmann's.
TEST(JSONTextTest, EscapesDenseAndLongTextAsNlohmannDoes) {
  std::string everyByte;
  for (int byte = 0; byte < 0x80; ++byte) everyByte += static_cast<char>(byte);
  const std::string cases[] = {
      std::string(200, '"'),
      std::string(600, '\x1f') + std::string(255, 'a') + "\\" + std::string(300, '"'),
      std::string(130, '\x01'),
      "\"\n\"\t\\\"\b\f" + std::string(3, '\r'),
      everyByte + everyByte + everyByte,
      std::string(63, 'a') + "é" + std::string(62, 'b') + "😀" + std::string(61, '\n') + "→",
      "{\n  \"key\": \"value\",\n  \"list\": [\n    1\n  ]\n}" + std::string(100, ' '),
  };
  for (const auto& text : cases) {
    std::string written = "kept";
    ASSERT_TRUE(JSONText::appendString(written, text));
    EXPECT_EQ(written, "kept" + json(text).dump());
    // An ill-formed byte after a long well-formed run still leaves nothing behind.
    std::string refused = "kept";
    EXPECT_FALSE(JSONText::appendString(refused, text + "\xc3"));
    EXPECT_EQ(refused, "kept");
  }
}

// Feeds a tree of objects, arrays, strings and integers to the writer, members in key order.
bool feed(JSONText::Writer& writer, const json& value) {
  if (value.is_object()) {
    writer.beginObject();
    for (const auto& [name, member] : value.items()) {
      if (!writer.key(name) || !feed(writer, member)) return false;
    }
    writer.endObject();
    return true;
  }
  if (value.is_array()) {
    writer.beginArray();
    for (const auto& element : value) {
      if (!feed(writer, element)) return false;
    }
    writer.endArray();
    return true;
  }
  if (value.is_string()) return writer.string(value.get_ref<const std::string&>());
  writer.integer(value.get<std::int64_t>());
  return true;
}

// Objects and arrays in turn, `depth` levels deep, each with a member or element beside the next.
json nested(int depth) {
  json value = "innermost \"text\"";
  for (int level = 0; level < depth; ++level) {
    value = level % 2 == 0 ? json::array({level, value}) : json{{"k", value}, {"n", level}};
  }
  return value;
}

TEST(JSONTextTest, WriterWritesWhatDumpWrites) {
  const json values[] = {
      json::object(),
      json::array(),
      json("text \" with \n escapes é"),
      json(-7),
      json{{"count", 2}, {"lists", {{{"id", "a"}, {"name", "\"A\""}}, json::object()}}},
      json::array({json::array({json::array()}), json::object({{"k", json::array({1, "s"})}})}),
      json{{"b", {{"c", json::object()}, {"d", json::array()}}}, {"a", "é\n"}},
      nested(20),
      json{{"key \"quoted\"", 1}, {"é", {{"\t", 2}}}, {"a key of sixteen bytes or more", 3}},
  };
  for (const auto& value : values) {
    for (const int indent : {-1, 0, 2, 4}) {
      JSONText::Writer writer(indent);
      ASSERT_TRUE(feed(writer, value));
      EXPECT_EQ(std::move(writer).take(), nlohmannText(value, indent));
    }
  }
  JSONText::Writer refusing(2);
  refusing.beginObject();
  EXPECT_FALSE(refusing.key("bad \xff"));
  EXPECT_FALSE(refusing.string("bad \xc3"));
}

TEST(JSONTextTest, WritesValuesAsNlohmannDoes) {
  const json values[] = {
      json::object(),
      json::array(),
      json(nullptr),
      json("plain"),
      json(""),
      json("quote \" backslash \\ slash / tab \t line\nfeed\r\f\b bell \x07 nul " +
           std::string(1, '\0') + " unit \x1f del \x7f"),
      json("non-ASCII: é → 😀, the same bytes \"é\" in a longer run of plain text"),
      json(true),
      json(false),
      json(0),
      json(-42),
      json(std::numeric_limits<std::int64_t>::min()),
      json(std::numeric_limits<std::uint64_t>::max()),
      json(0.1),
      json(-1.5e300),
      json(1.0),
      json(std::nan("")),
      json(std::numeric_limits<double>::infinity()),
      json{{"b", {1, 2, {{"c", json::array()}}}}, {"a", json::object()}, {"é\n", "x"}},
      json::array({json::array({json::array()}), json::object({{"k", nullptr}}), "s", 1.25}),
  };
  for (const auto& value : values) {
    for (const int indent : {-1, 0, 2, 4}) {
      const auto written = JSONText::dump(value, indent);
      ASSERT_TRUE(written.has_value()) << nlohmannText(value, -1);
      EXPECT_EQ(*written, nlohmannText(value, indent));
    }
  }
}

// Text that is not UTF-8 is left to nlohmann: the printer declines it, and a reply writes U+FFFD
// for it as nlohmann would.
TEST(JSONTextTest, LeavesTextThatIsNotUtf8ToNlohmann) {
  const std::string cases[] = {"a\xff",
                               "\xc3",
                               "\xed\xa0\x80 surrogate",
                               "\xc0\xaf overlong",
                               std::string(20, 'x') + "\xf5\x80\x80\x80",
                               "abc\x80 continuation first",
                               "é, then a bad byte far on: " + std::string(40, 'x') + "\xfe",
                               std::string(33, 'x') + "\xe2\x86",
                               std::string(15, 'x') + "\xc3"};
  for (const auto& text : cases) {
    std::string written = "kept";
    EXPECT_FALSE(JSONText::appendString(written, text));
    EXPECT_EQ(written, "kept");
    EXPECT_FALSE(JSONText::dump(json{{"k", json::array({text})}}, 2));
    EXPECT_FALSE(JSONText::dump(json{{text, 1}}));
    const JSONValue value(JSONValue::Object{{text, JSONValue(text)}});
    EXPECT_EQ(value.encode(), nlohmannText(value.rawValue(), -1));
  }
}

TEST(JSONTextTest, RepliesCarryTheIdAndResultAsNlohmannWritesThem) {
  const JSONValue result(
      JSONValue::Object{{"content", JSONValue::Array{JSONValue::Object{
                                        {"type", "text"}, {"text", "{\n  \"a\": \"\\u00e9\"\n}"}}}},
                        {"n", 2.5},
                        {"big", std::numeric_limits<std::uint64_t>::max()}});
  const JSONRPCID ids[] = {JSONRPCID(7), JSONRPCID(-1), JSONRPCID("id \"quoted\"\n"),
                           JSONRPCID(std::string("bad \xff id"))};
  for (const auto& id : ids) {
    nlohmann::ordered_json expected;
    expected["jsonrpc"] = "2.0";
    expected["id"] = id.rawValue();
    expected["result"] = result.rawValue();
    EXPECT_EQ(JSONRPCResponse::result(id, result),
              expected.dump(-1, ' ', false, json::error_handler_t::replace));
  }
}

}  // namespace
}  // namespace tvrn
