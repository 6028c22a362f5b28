#include <gtest/gtest.h>

#include <string>

#include "core/JSONRPC.h"

namespace tvrn {
namespace {

std::string withDeepParams(int depth) {
  return R"({"jsonrpc":"2.0","id":1,"method":"m","params":)" + std::string(depth, '[') +
         std::string(depth, ']') + "}";
}

TEST(RequestParserTest, ReadsIdsAndParamsAndRefusesMalformedMessages) {
  const JSONRPCID none("(none)");
  const struct {
    std::string line;
    std::optional<JSONRPCID> id;  // nothing: refused
    std::string params;           // encoded, "" when absent
  } rows[] = {
      {R"({"jsonrpc":"2.0","method":"m"})", none, ""},
      {R"({"jsonrpc":"2.0","id":null,"method":"m","params":null})", none, ""},
      {R"({"jsonrpc":"2.0","id":7,"method":"m"})", JSONRPCID(7), ""},
      {R"({"jsonrpc":"2.0","id":"7","method":"m"})", JSONRPCID("7"), ""},
      {R"( {"id":"","method":"m","jsonrpc":"1.0","extra":1,"params":[1,"a"]} )", JSONRPCID(""),
       R"([1,"a"])"},
      {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"name":"t","arguments":{"q":[2.5,null]}}})",
       JSONRPCID(1), R"({"arguments":{"q":[2.5,null]},"name":"t"})"},
      {withDeepParams(JSONValue::maxDepth), std::nullopt, ""},
      {R"({"jsonrpc":"2.0","id":1.5,"method":"m"})", std::nullopt, ""},
      {R"({"jsonrpc":"2.0","id":9223372036854775808,"method":"m"})", std::nullopt, ""},
      {R"({"id":1,"method":"m"})", std::nullopt, ""},
      {R"({"jsonrpc":2,"id":1,"method":"m"})", std::nullopt, ""},
      {R"([{"jsonrpc":"2.0","id":1,"method":"m"}])", std::nullopt, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 90));
    const auto parsed = RequestParser::parse(row.line);
    if (!row.id) {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error(), TransportError::encodingFailed);
      continue;
    }
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().id.value_or(none), *row.id);
    EXPECT_EQ(parsed.value().method, "m");
    const auto& params = parsed.value().params;
    EXPECT_EQ(params ? params->encode() : "", row.params);
  }
  EXPECT_NE(JSONRPCID(1), JSONRPCID("1"));
}

// The untyped reader and its conversion, which other callers still use: the reference.
std::optional<JSONValue> viaUntyped(const std::string& text) {
  const auto raw = JSONValue::parseUntyped(text);
  return raw ? JSONValue::fromRaw(*raw) : std::nullopt;
}

std::string envelopeWith(const std::string& member) {
  return R"({"jsonrpc":"2.0","id":1,"method":"m",)" + member + "}";
}

// `count` zeros in an array: with the envelope's five values, `count` = maxValues - 5 is the most
// one request may hold, wherever they are.
std::string zeros(std::size_t count) {
  std::string text = "[0";
  for (std::size_t i = 1; i < count; ++i) text += ",0";
  return text + "]";
}

TEST(RequestParserTest, ReadsClientAndHostileLinesAsTheUntypedReaderDoes) {
  const int depth = JSONValue::maxDepth;
  const std::size_t values = JSONValue::maxValues;
  const struct {
    std::string line;
    bool accepted;
  } rows[] = {
      // As clients write them: members in any order, ids from 0, nested arguments.
      {R"({"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},)"
       R"("clientInfo":{"name":"claude-ai","version":"0.1.0"}},"jsonrpc":"2.0","id":0})",
       true},
      {R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
       R"("2025-06-18","capabilities":{"tools":true,"prompts":true,"resources":true,)"
       R"("logging":false,"elicitation":{},"roots":{"listChanged":false}},"clientInfo":)"
       R"({"name":"cursor-vscode","version":"1.0.0"}}})",
       true},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
       R"("2025-06-18","capabilities":{"roots":{"listChanged":true},"sampling":{},)"
       R"("elicitation":{}},"clientInfo":{"name":"Visual Studio Code","version":"1.101.0"}}})",
       true},
      {R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
       R"("2025-03-26","capabilities":{"sampling":{},"roots":{"listChanged":true}},)"
       R"("clientInfo":{"name":"mcp-inspector","version":"0.14.0"}}})",
       true},
      {R"({"method":"notifications/initialized","jsonrpc":"2.0"})", true},
      {R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"_meta":{"progressToken":2}}})",
       true},
      {R"({"jsonrpc":"2.0","id":"c3a1-7","method":"tools/call","params":{"name":)"
       R"("calendar_create_event","arguments":{"title":"Caf\u00e9 \ud83d\ude00 \"q\"\\\n",)"
       R"("start":"2025-03-01T09:00:00+01:00","attendees":[{"email":"a@example.org",)"
       R"("optional":false},{"email":"b@example.org","note":null}],"reminders":[-15,0,1e2,)"
       R"(2.5E-3,-0,-0.0,0.1],"low":-9223372036854775808,"high":9223372036854775807,)"
       R"("past":18446744073709551615,"far":184467440737095516150}}})",
       true},
      {"{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/call\",\"params\":{\"name\":\"t\","
       "\"arguments\":{\"city\":\"Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80\"}}}\r",
       true},
      {R"({"jsonrpc":"2.0","method":"notifications/cancelled","id":null,"params":{"requestId":4}})",
       true},
      // A repeated member keeps its last value, even over one that alone would be refused.
      {R"({"jsonrpc":"2.0","id":[1],"id":2,"method":3,"method":"m","params":{"x":1,"x":{"y":2}}})",
       true},
      {R"({"jsonrpc":"2.0","id":1,"id":null,"method":"m","params":[1],"params":null})", true},
      {R"({"jsonrpc":"2.0","id":1,"method":"m","jsonrpc":null})", false},
      // Limits hold in the kept members and in those dropped alike.
      {envelopeWith(R"("params":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']')),
       true},
      {envelopeWith(R"("params":)" + std::string(depth, '[') + std::string(depth, ']')), false},
      {envelopeWith(R"("extra":)" + std::string(depth, '[') + std::string(depth, ']')), false},
      {envelopeWith(R"("params":)" + zeros(values - 5)), true},
      {envelopeWith(R"("extra":)" + zeros(values - 4)), false},
      // Not one JSON object of valid UTF-8.
      {envelopeWith("\"params\":\"\xFF\""), false},
      {envelopeWith("\"params\":\"\xC0\xAF\""), false},
      {envelopeWith("\"params\":\"\xED\xA0\x80\""), false},
      {envelopeWith("\"params\":\"\xE2\x82\""), false},
      {envelopeWith(R"("params":"\ud800")"), false},
      {envelopeWith(R"("params":"\udc00\ud800")"), false},
      {envelopeWith(R"("params":"\ud83dx")"), false},
      {envelopeWith(std::string("\"params\":\"a\0b\"", 15)), false},
      {envelopeWith(R"("params":1e400)"), false},
      {envelopeWith(R"("params":01)"), false},
      {envelopeWith(R"("params":/* c */1)"), false},
      {R"({"jsonrpc":"2.0","id":1,"method":"m"} x)", false},
      {R"({"jsonrpc":"2.0","id":1,"method":"m"}{"jsonrpc":"2.0","id":2,"method":"m"})", false},
      {R"({"jsonrpc":"2.0","id":1,"method":"m")", false},
      {R"({"jsonrpc":"2.0","id":true,"method":"m"})", false},
      {R"({"jsonrpc":"2.0","id":1.0,"method":"m"})", false},
      {R"({"jsonrpc":"2.0","id":{},"method":"m"})", false},
      {R"([{"jsonrpc":"2.0","id":1,"method":"m"}])", false},
      {R"("{\"jsonrpc\":\"2.0\"}")", false},
      {"null", false},
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 120));
    const auto parsed = RequestParser::parse(row.line);
    ASSERT_EQ(parsed.ok(), row.accepted);
    // The untyped reader knows no count limit: the lines that reach it are checked by the
    // parser's answer alone.
    if (row.line.size() > 2 * values) continue;
    const std::optional<JSONValue> reference = viaUntyped(row.line);
    const std::optional<JSONValue> tree = JSONValue::decode(row.line);
    ASSERT_EQ(tree.has_value(), reference.has_value());
    if (!tree) {
      EXPECT_FALSE(row.accepted);
      continue;
    }
    // The text of a decoded tree tells every case apart: 1 from 1.0, 0.0 from -0.0.
    EXPECT_EQ(tree->encode(), reference->encode());
    if (!row.accepted) continue;

    const JSONRPCRequest& request = parsed.value();
    EXPECT_EQ(request.jsonrpc, (*reference)["jsonrpc"]->asString());
    EXPECT_EQ(request.method, (*reference)["method"]->asString());
    const JSONValue* id = (*reference)["id"];
    EXPECT_EQ(request.id ? request.id->rawValue() : nlohmann::json(),
              id ? id->rawValue() : nlohmann::json());
    const JSONValue* params = (*reference)["params"];
    if (params == nullptr || params->kind() == JSONValue::Kind::nullValue) {
      EXPECT_FALSE(request.params.has_value());
    } else {
      ASSERT_TRUE(request.params.has_value());
      EXPECT_EQ(request.params->encode(), params->encode());
    }
  }
}

TEST(JSONRPCResponseTest, BuildsExactBytes) {
  const JSONValue content(JSONValue::Object{
      {"content", JSONValue::Array{JSONValue::Object{{"type", "text"}, {"text", "hi"}}}}});
  const struct {
    std::string built;
    std::string expected;
  } rows[] = {
      {JSONRPCResponse::result(JSONRPCID(1), JSONValue::Object{}),
       R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {JSONRPCResponse::result(JSONRPCID("1"), content),
       R"({"jsonrpc":"2.0","id":"1","result":{"content":[{"text":"hi","type":"text"}]}})"},
      {JSONRPCResponse::error(std::nullopt, JSONRPCError::parseError, "Parse error"),
       R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})"},
      {JSONRPCResponse::error(JSONRPCID("x"), JSONRPCError::methodNotFound, "Method not found: a"),
       R"({"jsonrpc":"2.0","id":"x","error":{"code":-32601,"message":"Method not found: a"}})"},
      {JSONRPCResponse::notification("notifications/x", JSONValue::Array{1, 2.5, nullptr}),
       R"({"jsonrpc":"2.0","method":"notifications/x","params":[1,2.5,null]})"},
      // Line breaks are escaped and invalid UTF-8 becomes U+FFFD: always one valid JSON line.
      {JSONRPCResponse::error(JSONRPCID(2), JSONRPCError::internalError, "a \"b\"\n\xc3"),
       "{\"jsonrpc\":\"2.0\",\"id\":2,\"error\":{\"code\":-32603,\"message\":\"a \\\"b\\\"\\n"
       "\xEF\xBF\xBD\"}}"},
      {JSONRPCResponse::result(JSONRPCID(4), JSONValue(std::string("x\xfe"))),
       "{\"jsonrpc\":\"2.0\",\"id\":4,\"result\":\"x\xEF\xBF\xBD\"}"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.built, row.expected);
}

}  // namespace
}  // namespace tvrn
