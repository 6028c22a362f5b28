#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/stocks/StocksTools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr const char* kAAPL = "/v8/finance/chart/AAPL";

CannedResponse answer(int status, std::string body = "") {
  CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

CannedResponse chart(const json& meta, const json& extra = json::object()) {
  json result = extra;
  result["meta"] = meta;
  return answer(200, json({{"chart", {{"result", {result}}}}}).dump());
}

// The family against a stand-in finance service, with the pauses between attempts only recorded.
class StocksToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_FINANCE_URL", finance.baseURL().c_str(), 1);
    StocksTools::registerTools(registry, [this](milliseconds pause) { pauses.push_back(pause); });
  }

  ToolResult call(const std::string& tool, const json& arguments) {
    return test::callTool(registry, tool, arguments);
  }

  RecordingHttpServer finance;
  ToolRegistry registry;
  std::vector<milliseconds> pauses;
};

TEST_F(StocksToolsTest, QuotesAreFetchedInUpperCaseAndOnlyPassingFailuresAreTriedAgain) {
  finance.enqueue(kAAPL, {answer(503), answer(503)});
  finance.respond(kAAPL, chart({{"symbol", "AAPL"},
                                {"regularMarketPrice", 187.456},
                                {"chartPreviousClose", 180},
                                {"marketCap", 2.5e12},
                                {"shortName", "Apple"},
                                {"currency", "USD"}}));
  finance.respond("/v8/finance/chart/MSFT",
                  chart({{"regularMarketPrice", 0.125}, {"longName", "Microsoft"}}));
  const json quotes = test::jsonOf(call("stocks_get_quote", {{"symbols", "aapl, ,msft\t,"}}));
  EXPECT_EQ(quotes, json::parse(R"({"count": 2, "quotes": [
      {"symbol": "AAPL", "name": "Apple", "price": 187.46, "currency": "USD", "change": 7.46,
       "change_pct": 4.14, "prev_close": 180.0, "exchange": "", "market_cap": "2.50T"},
      {"symbol": "MSFT", "name": "Microsoft", "price": 0.13, "currency": "USD", "change": 0.13,
       "change_pct": 0.0, "prev_close": 0.0, "exchange": ""}]})"));
  EXPECT_EQ(pauses, (std::vector<milliseconds>{milliseconds(500), milliseconds(1000)}));
  const auto sent = finance.requestsTo(kAAPL);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].target, std::string(kAAPL) + "?interval=1d&range=1d&includePrePost=false");
  EXPECT_EQ(sent[0].header("Accept"), "application/json");
  EXPECT_TRUE(sent[0].header("User-Agent").starts_with("Mozilla/5.0"));

  struct Case {
    std::vector<CannedResponse> answers;
    std::string failure;
    std::size_t attempts;
  };
  const std::vector<Case> cases = {
      {{answer(503), answer(503), answer(503)}, "Yahoo Finance returned HTTP 503 (retryable)", 3},
      {{answer(404)}, "Yahoo Finance returned HTTP 404", 1},
      {{answer(429), answer(200)}, "No data", 2},
      {{answer(200, "[1]")}, "No data for aapl", 1},
      {{answer(200, R"({"chart": {"error": {"description": "Gone"}, "result": []}})")},
       "Yahoo Finance: Gone",
       1},
      {{answer(200, R"({"chart": {"error": {}, "result": [1]}})")}, "Symbol 'aapl' not found", 1},
  };
  for (const auto& c : cases) {
    const std::size_t before = finance.requestCount();
    finance.enqueue(kAAPL, c.answers);
    EXPECT_EQ(test::textOf(call("stocks_get_quote", {{"symbols", "aapl,msft"}})),
              "failed: " + c.failure);
    EXPECT_EQ(finance.requestCount() - before, c.attempts) << c.failure;  // MSFT never asked
  }

  pauses.clear();
  ::setenv("TVRN_FINANCE_URL", ("http://127.0.0.1:" + std::to_string(test::unusedPort())).c_str(),
           1);
  EXPECT_TRUE(test::textOf(call("stocks_get_quote", {{"symbols", "X"}}))
                  .starts_with("failed: Network error: "));
  EXPECT_EQ(pauses.size(), 2u);
}

TEST_F(StocksToolsTest, SymbolListsWithoutSymbolsAreRefused) {
  EXPECT_EQ(test::textOf(call("stocks_get_quote", {{"symbols", " , ,\t"}})),
            "failed: Invalid 'symbols': expected comma-separated ticker symbols");
  EXPECT_EQ(finance.requestCount(), 0u);
}

TEST(StocksNumbersTest, CentsRoundHalvesAwayFromZero) {
  const std::vector<std::pair<double, double>> cents = {
      {0.125, 0.13}, {-0.125, -0.13}, {2.004, 2.0}, {187.455001, 187.46}, {0, 0}};
  for (const auto& [value, rounded] : cents) {
    EXPECT_DOUBLE_EQ(StocksTools::roundedToCents(value), rounded) << value;
  }
}

TEST_F(StocksToolsTest, ChartCandlesCarryLocalDatesAndSkipMissingCloses) {
  ::setenv("TZ", "Asia/Tokyo", 1);
  ::tzset();
  const json extra = {{"timestamp", {1700000000, 1700003600, 1700007200}},
                      {"indicators",
                       {{"quote",
                         {{{"open", {1.111, nullptr, 3}},
                           {"close", {1.555, nullptr, 3.3}},
                           {"volume", {100, 200, nullptr}}}}}}}};
  finance.respond(kAAPL, chart({{"regularMarketPrice", 3.3}, {"chartPreviousClose", 3}}, extra));
  const json hourly = test::jsonOf(
      call("stocks_get_chart", {{"symbol", "aapl"}, {"interval", "1h"}, {"range", "5d&x=1"}}));
  EXPECT_EQ(finance.requests().back().queryItem("interval"), "1h");
  EXPECT_EQ(finance.requests().back().queryItem("range"), "5d&x=1");
  EXPECT_EQ(hourly["candles"], json::parse(R"([
      {"date": "2023-11-15 07:13", "open": 1.11, "close": 1.56, "volume": 100},
      {"date": "2023-11-15 09:13", "open": 3.0, "close": 3.3}])"));
  EXPECT_EQ(hourly["data_points"], 2);

  const json monthly =
      test::jsonOf(call("stocks_get_chart", {{"symbol", "aapl"}, {"interval", "1mo"}}));
  EXPECT_EQ(monthly["candles"][0]["date"], "2023-11-15");
  ::unsetenv("TZ");
  ::tzset();

  finance.respond(kAAPL, answer(200, R"({"chart": {"result": []}})"));
  EXPECT_EQ(test::textOf(call("stocks_get_chart", {{"symbol", "aapl"}})),
            "failed: No data returned for aapl");
}

TEST_F(StocksToolsTest, SymbolSearchSendsTheQueryWholeAndTakesAtMostTheLimit) {
  const json quotes = {{{"symbol", "T"}, {"longname", "AT&T Inc."}, {"exchange", "NYQ"}},
                       {{"symbol", "TBB"}, {"shortname", "AT&T 5.35%"}, {"quoteType", "EQUITY"}}};
  finance.respond("/v1/finance/search", answer(200, json({{"quotes", quotes}}).dump()));
  struct Case {
    json limit;
    std::string sentCount;
    std::size_t results;
  };
  for (const auto& c : std::vector<Case>{{1, "1", 1}, {0, "0", 0}, {-3, "-3", 0}, {"5", "10", 2}}) {
    const json found =
        test::jsonOf(call("stocks_search_symbol", {{"query", "AT&T q=1"}, {"limit", c.limit}}));
    EXPECT_EQ(found["count"], c.results);
    EXPECT_EQ(found["results"].size(), c.results);
    const auto sent = finance.requests().back();
    EXPECT_EQ(sent.queryItem("q"), "AT&T q=1");
    EXPECT_EQ(sent.queryItem("quotesCount"), c.sentCount);
  }

  finance.respond("/v1/finance/search", answer(200, R"({"quotes": [1]})"));
  EXPECT_EQ(test::textOf(call("stocks_search_symbol", {{"query", "att"}})),
            "failed: No results for 'att'");
}

}  // namespace
}  // namespace tvrn
