// The JSON-RPC work of one tool call: parsing the request line and building its reply line.
#include <benchmark/benchmark.h>

#include <string>

#include "core/JSONRPC.h"

namespace tvrn {
namespace {

const std::string kRequest =
    R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"calendar_get_events",)"
    R"("arguments":{"start_date":"2025-01-01T00:00:00Z","end_date":"2025-01-31T23:59:59Z",)"
    R"("calendar_names":["Work","Home"],"limit":50,"include_details":true}}})";

// A tool result the size of a typical event listing.
JSONValue toolResult() {
  std::string text;
  for (int i = 0; i < 50; ++i) {
    text += "Event " + std::to_string(i) + ": Planning meeting, 2025-01-" +
            std::to_string(1 + i % 28) + "T09:00:00Z to 10:00, Work\n";
  }
  return JSONValue(JSONValue::Object{
      {"content", JSONValue::Array{JSONValue::Object{{"type", "text"}, {"text", text}}}}});
}

void BM_ParseToolsCall(benchmark::State& state) {
  for (auto _ : state) {
    auto request = RequestParser::parse(kRequest);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRequest.size()));
}
BENCHMARK(BM_ParseToolsCall);

void BM_BuildToolsCallReply(benchmark::State& state) {
  const JSONValue result = toolResult();
  const JSONRPCID id(42);
  for (auto _ : state) {
    std::string reply = JSONRPCResponse::result(id, result);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_BuildToolsCallReply);

void BM_ParseAndReply(benchmark::State& state) {
  const JSONValue result = toolResult();
  for (auto _ : state) {
    auto request = RequestParser::parse(kRequest);
    const auto& arguments = *(*request.value().params)["arguments"];
    benchmark::DoNotOptimize(arguments["limit"]->asInt());
    std::string reply = JSONRPCResponse::result(*request.value().id, result);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_ParseAndReply);

}  // namespace
}  // namespace tvrn
