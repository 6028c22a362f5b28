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
