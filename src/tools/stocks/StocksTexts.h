// What the stock quote tools say to the AI client, word for word.
#pragma once

#include <string_view>

namespace tvrn::StocksTexts {

inline constexpr std::string_view kQuoteDescription =
    "Gets current stock price and market data for one or more symbols (e.g. AAPL, MSFT, "
    "BTC-USD). Uses Yahoo Finance — no API key required.";
inline constexpr std::string_view kChartDescription =
    "Gets historical price data for a stock symbol. Range: 1d, 5d, 1mo, 3mo, 6mo, 1y, 2y, 5y, "
    "10y, ytd, max.";
inline constexpr std::string_view kSearchDescription =
    "Searches for a stock ticker symbol by company name. Returns matching symbols and exchanges.";

inline constexpr std::string_view kSymbolsArg =
    "Comma-separated ticker symbols, e.g. 'AAPL,MSFT,GOOGL' or 'BTC-USD'";
inline constexpr std::string_view kSymbolArg = "Ticker symbol, e.g. AAPL";
inline constexpr std::string_view kRangeArg =
    "Time range: 1d, 5d, 1mo, 3mo, 6mo, 1y, 2y, 5y (default: 1mo)";
inline constexpr std::string_view kIntervalArg =
    "Data interval: 1m, 5m, 15m, 1h, 1d, 1wk, 1mo (default: 1d)";
inline constexpr std::string_view kQueryArg = "Company name or partial ticker to search for";
inline constexpr std::string_view kLimitArg = "Max results (default 10)";

// Sent with every request: the service answers browsers more readily than bare clients.
inline constexpr std::string_view kUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";

inline constexpr std::string_view kSymbolsExpected = "comma-separated ticker symbols";
inline constexpr std::string_view kServiceHTTP = "Yahoo Finance returned HTTP ";
inline constexpr std::string_view kRetryable = " (retryable)";
inline constexpr std::string_view kNetworkError = "Network error: ";
inline constexpr std::string_view kNoData = "No data";

}  // namespace tvrn::StocksTexts
