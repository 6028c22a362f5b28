#include "tools/stocks/StocksTools.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "base/PercentEncoding.h"
#include "base/Utf8.h"
#include "core/Params.h"
#include "core/Timeouts.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "tools/stocks/StocksTexts.h"

namespace tvrn::StocksTools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = StocksTexts;

constexpr int kAttempts = 3;
constexpr std::chrono::milliseconds kFirstPause{500};  // doubled after each further attempt

ToolError failure(std::string text) { return ToolError::executionFailed(std::move(text)); }

bool isRetryableStatus(int status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// One attempt: the body, or the failure text and whether another attempt may help.
struct Attempt {
  std::optional<std::string> body;
  std::string failure;
  bool retryable = false;
};

Attempt attemptGET(const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.headers = {{"User-Agent", std::string(Texts::kUserAgent)},
                     {"Accept", "application/json"}};
  request.timeout = std::chrono::seconds(static_cast<int>(Timeouts::networkStockAPI));
  HttpResult answer = HttpClient::perform(request);
  if (!answer)
    return {std::nullopt, std::string(Texts::kNetworkError) + answer.error().message, true};
  const int status = answer.value().status;
  if (isRetryableStatus(status)) {
    return {
        std::nullopt,
        std::string(Texts::kServiceHTTP) + std::to_string(status) + std::string(Texts::kRetryable),
        true};
  }
  if (status >= 400) {
    return {std::nullopt, std::string(Texts::kServiceHTTP) + std::to_string(status), false};
  }
  if (answer.value().body.empty()) return {std::nullopt, std::string(Texts::kNoData), false};
  return {std::move(answer).value().body, {}, false};
}

Result<std::string, ToolError> syncGET(const std::string& url, const Pause& pause) {
  for (int attempt = 0;; ++attempt) {
    Attempt outcome = attemptGET(url);
    if (outcome.body) return std::move(*outcome.body);
    if (!outcome.retryable || attempt + 1 == kAttempts) return fail(failure(outcome.failure));
    pause(kFirstPause * (1 << attempt));
  }
}

std::string upperASCII(std::string text) {
  for (char& ch : text) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return text;
}

std::optional<std::string> textOf(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<double> numberOf(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

const json* memberOf(const json& object, const char* key, json::value_t type) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found != object.end() && found->type() == type ? &*found : nullptr;
}

// A list of numbers or nulls; a list holding anything else counts as empty.
template <typename Number>
std::vector<std::optional<Number>> numberList(const json& object, const char* key) {
  std::vector<std::optional<Number>> values;
  const json* list = memberOf(object, key, json::value_t::array);
  if (list == nullptr) return values;
  for (const auto& item : *list) {
    const bool fits = std::is_integral_v<Number> ? item.is_number_integer() : item.is_number();
    if (item.is_null()) {
      values.emplace_back();
    } else if (fits) {
      values.emplace_back(item.get<Number>());
    } else {
      return {};
    }
  }
  return values;
}

double changePercent(double price, double previousClose) {
  if (previousClose <= 0) return 0;
  return std::round((price - previousClose) / previousClose * 100 * 100) / 100;
}

std::string nameOf(const json& meta) {
  return textOf(meta, "longName").value_or(textOf(meta, "shortName").value_or(""));
}

std::string symbolOf(const json& meta, const std::string& requested) {
  return upperASCII(textOf(meta, "symbol").value_or(requested));
}

// The chart address; the symbol is one path segment whatever it holds.
std::string chartURL(const std::string& symbol, std::string_view interval, std::string_view range) {
  return Endpoints::finance() + "/v8/finance/chart/" +
         PercentEncoding::pathSegment(upperASCII(symbol)) +
         "?interval=" + PercentEncoding::queryValue(interval) +
         "&range=" + PercentEncoding::queryValue(range) + "&includePrePost=false";
}

// The first result of a chart answer, when the answer has one.
std::optional<json> firstChartResult(const json& chart) {
  const json* results = memberOf(chart, "result", json::value_t::array);
  if (results == nullptr || results->empty() ||
      !std::all_of(results->begin(), results->end(), [](const json& r) { return r.is_object(); })) {
    return std::nullopt;
  }
  return results->front();
}

json metaOf(const json& result) {
  const json* meta = memberOf(result, "meta", json::value_t::object);
  return meta ? *meta : json::object();
}

Result<json, ToolError> fetchQuote(const std::string& symbol, const Pause& pause) {
  auto body = syncGET(chartURL(symbol, "1d", "1d"), pause);
  if (!body) return fail(body.error());
  const json parsed = json::parse(body.value(), nullptr, false);
  const json* chart = memberOf(parsed, "chart", json::value_t::object);
  if (chart == nullptr) return fail(failure("No data for " + symbol));
  if (const json* error = memberOf(*chart, "error", json::value_t::object)) {
    if (auto description = textOf(*error, "description")) {
      return fail(failure("Yahoo Finance: " + *description));
    }
  }
  const auto result = firstChartResult(*chart);
  if (!result) return fail(failure("Symbol '" + symbol + "' not found"));
  const json meta = metaOf(*result);
  const double price = numberOf(meta, "regularMarketPrice").value_or(0);
  const double previousClose = numberOf(meta, "chartPreviousClose").value_or(0);
  json quote = {{"symbol", symbolOf(meta, symbol)},
                {"name", nameOf(meta)},
                {"price", roundedToCents(price)},
                {"currency", textOf(meta, "currency").value_or("USD")},
                {"change", roundedToCents(price - previousClose)},
                {"change_pct", changePercent(price, previousClose)},
                {"prev_close", roundedToCents(previousClose)},
                {"exchange", textOf(meta, "exchangeName").value_or("")}};
  if (const double cap = numberOf(meta, "marketCap").value_or(0); cap > 0) {
    quote["market_cap"] = formatLargeNumber(cap);
  }
  return quote;
}

ToolResult jsonResult(const json& value) {
  return ToolResponse::json(JSONValue::fromRaw(value).value_or(JSONValue()));
}

// Blanks and tabs, Unicode's space separators included; line breaks are kept.
bool isBlankCharacter(char32_t codePoint) {
  return codePoint == '\t' || (Utf8::isWhiteSpace(codePoint) && codePoint != '\n' &&
                               codePoint != '\r' && codePoint != '\v' && codePoint != '\f' &&
                               codePoint != 0x85 && codePoint != 0x2028 && codePoint != 0x2029);
}

std::vector<std::string> splitSymbols(const std::string& text) {
  std::vector<std::string> symbols;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view piece =
        Utf8::trim(std::string_view(text).substr(start, comma - start), isBlankCharacter);
    if (!piece.empty()) symbols.emplace_back(piece);
    start = comma + 1;
  }
  return symbols;
}

ToolResult stocksGetQuote(const Params::Arguments& arguments, const Pause& pause) {
  return Params::withRequired("symbols", arguments, [&](const std::string& text) -> ToolResult {
    const std::vector<std::string> symbols = splitSymbols(text);
    if (symbols.empty()) {
      return fail(ToolError::invalidParam("symbols", std::string(Texts::kSymbolsExpected)));
    }
    json quotes = json::array();
    for (const auto& symbol : symbols) {
      auto quote = fetchQuote(symbol, pause);
      if (!quote) return fail(quote.error());
      quotes.push_back(std::move(quote).value());
    }
    if (quotes.size() == 1) return jsonResult(quotes[0]);
    return jsonResult({{"quotes", quotes}, {"count", quotes.size()}});
  });
}

json candlesOf(const json& result, const std::string& interval) {
  std::vector<std::optional<double>> timestamps = numberList<double>(result, "timestamp");
  json quote = json::object();
  if (const json* indicators = memberOf(result, "indicators", json::value_t::object)) {
    const json* list = memberOf(*indicators, "quote", json::value_t::array);
    if (list != nullptr && !list->empty() && list->front().is_object()) quote = list->front();
  }
  const auto open = numberList<double>(quote, "open");
  const auto high = numberList<double>(quote, "high");
  const auto low = numberList<double>(quote, "low");
  const auto close = numberList<double>(quote, "close");
  const auto volume = numberList<std::int64_t>(quote, "volume");
  json candles = json::array();
  const std::size_t count = std::min(timestamps.size(), close.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (!close[i] || !timestamps[i]) continue;
    json candle = {{"date", formatDate(*timestamps[i], interval)},
                   {"close", roundedToCents(*close[i])}};
    const auto addPrice = [&](const char* key, const std::vector<std::optional<double>>& list) {
      if (i < list.size() && list[i]) candle[key] = roundedToCents(*list[i]);
    };
    addPrice("open", open);
    addPrice("high", high);
    addPrice("low", low);
    if (i < volume.size() && volume[i]) candle["volume"] = *volume[i];
    candles.push_back(std::move(candle));
  }
  return candles;
}

ToolResult stocksGetChart(const Params::Arguments& arguments, const Pause& pause) {
  return Params::withRequired("symbol", arguments, [&](const std::string& symbol) -> ToolResult {
    std::string range = Params::optional("range", arguments, "");
    if (range.empty()) range = "1mo";
    std::string interval = Params::optional("interval", arguments, "");
    if (interval.empty()) interval = "1d";
    auto body = syncGET(chartURL(symbol, interval, range), pause);
    if (!body) return fail(body.error());
    const json parsed = json::parse(body.value(), nullptr, false);
    const json* chart = memberOf(parsed, "chart", json::value_t::object);
    const auto result = chart ? firstChartResult(*chart) : std::nullopt;
    if (!result) return fail(failure("No data returned for " + symbol));
    const json meta = metaOf(*result);
    const double price = numberOf(meta, "regularMarketPrice").value_or(0);
    const json candles = candlesOf(*result, interval);
    return jsonResult(
        {{"symbol", symbolOf(meta, symbol)},
         {"name", nameOf(meta)},
         {"currency", textOf(meta, "currency").value_or("USD")},
         {"range", range},
         {"interval", interval},
         {"current_price", roundedToCents(price)},
         {"change_pct", changePercent(price, numberOf(meta, "chartPreviousClose").value_or(0))},
         {"data_points", candles.size()},
         {"candles", candles}});
  });
}

ToolResult stocksSearchSymbol(const Params::Arguments& arguments, const Pause& pause) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::int64_t limit = Params::optionalInt("limit", arguments, 10);
    const std::string url =
        Endpoints::finance() + "/v1/finance/search?q=" + PercentEncoding::queryValue(query) +
        "&quotesCount=" + std::to_string(limit) + "&newsCount=0&enableFuzzyQuery=true";
    auto body = syncGET(url, pause);
    if (!body) return fail(body.error());
    const json parsed = json::parse(body.value(), nullptr, false);
    const json* quotes = memberOf(parsed, "quotes", json::value_t::array);
    if (quotes == nullptr ||
        !std::all_of(quotes->begin(), quotes->end(), [](const json& q) { return q.is_object(); })) {
      return fail(failure("No results for '" + query + "'"));
    }
    // A negative limit asks for nothing, like 0.
    const auto wanted = static_cast<std::size_t>(std::max<std::int64_t>(limit, 0));
    json results = json::array();
    for (std::size_t i = 0; i < std::min(wanted, quotes->size()); ++i) {
      const json& quote = (*quotes)[i];
      results.push_back(
          {{"symbol", textOf(quote, "symbol").value_or("")},
           {"name", textOf(quote, "shortname").value_or(textOf(quote, "longname").value_or(""))},
           {"exchange", textOf(quote, "exchange").value_or("")},
           {"type", textOf(quote, "quoteType").value_or("")}});
    }
    return jsonResult({{"results", results}, {"count", results.size()}, {"query", query}});
  });
}

ToolHandler withPause(ToolResult (*handler)(const Params::Arguments&, const Pause&), Pause pause) {
  return [handler, pause = std::move(pause)](const Params::Arguments& arguments) {
    return handler(arguments, pause);
  };
}

}  // namespace

double roundedToCents(double value) { return std::round(value * 100) / 100; }

std::string formatLargeNumber(double value) {
  char text[64];
  if (value >= 1e12) {
    std::snprintf(text, sizeof text, "%.2fT", value / 1e12);
  } else if (value >= 1e9) {
    std::snprintf(text, sizeof text, "%.2fB", value / 1e9);
  } else if (value >= 1e6) {
    std::snprintf(text, sizeof text, "%.2fM", value / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.0f", value);
  }
  return text;
}

std::string formatDate(double timestamp, std::string_view interval) {
  const auto when = static_cast<std::time_t>(std::floor(timestamp));
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return "";
  const bool withTime = interval.ends_with('m') || interval.ends_with('h');
  char text[64];
  std::strftime(text, sizeof text, withTime ? "%Y-%m-%d %H:%M" : "%Y-%m-%d", &local);
  return text;
}

void registerTools(ToolRegistry& registry, Pause pause) {
  ToolRegistry::ServiceScope scope(registry, "stocks");
  if (!pause) pause = [](std::chrono::milliseconds span) { std::this_thread::sleep_for(span); };
  const auto text = [](std::string_view description) { return property("string", description); };
  registry.registerTool({"stocks_get_quote", std::string(Texts::kQuoteDescription),
                         schema({{"symbols", text(Texts::kSymbolsArg)}}, json::array({"symbols"})),
                         ToolKind::readOnly, withPause(stocksGetQuote, pause)});
  registry.registerTool({"stocks_get_chart", std::string(Texts::kChartDescription),
                         schema({{"symbol", text(Texts::kSymbolArg)},
                                 {"range", text(Texts::kRangeArg)},
                                 {"interval", text(Texts::kIntervalArg)}},
                                json::array({"symbol"})),
                         ToolKind::readOnly, withPause(stocksGetChart, pause)});
  registry.registerTool(
      {"stocks_search_symbol", std::string(Texts::kSearchDescription),
       schema({{"query", text(Texts::kQueryArg)}, {"limit", property("integer", Texts::kLimitArg)}},
              json::array({"query"})),
       ToolKind::readOnly, withPause(stocksSearchSymbol, pause)});
}

}  // namespace tvrn::StocksTools
