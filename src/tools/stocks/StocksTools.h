// The stock quote tool family: current quotes, price history and ticker search from a public
// finance service that needs no account. Only its GET retries, after short pauses.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/ToolRegistry.h"

namespace tvrn::StocksTools {

// How the pause between two attempts is waited; tests pass one that only records it.
using Pause = std::function<void(std::chrono::milliseconds)>;

// Adds stocks_get_quote, stocks_get_chart and stocks_search_symbol, in that order.
void registerTools(ToolRegistry& registry, Pause pause = {});

// A value in cents, halves away from zero.
double roundedToCents(double value);
// 2.50T, 1.23B, 4.00M, or the whole number below a million.
std::string formatLargeNumber(double value);
// A candle's moment in local time: with hours and minutes for intervals in minutes or hours.
std::string formatDate(double timestamp, std::string_view interval);

}  // namespace tvrn::StocksTools
