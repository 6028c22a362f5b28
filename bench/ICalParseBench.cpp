// What one iCalendar item costs to read as it grows: an event with one long property (an inline
// ATTACH, written on one line or folded at 75 octets as RFC 5545 asks), and an event with many
// ordinary lines (attendees). libical's time grows with the square of a line's length, so this
// is what the store's cap on an item's size is chosen from.
#include <benchmark/benchmark.h>

#include <string>

#include "pim/ICalItem.h"

namespace tvrn {
namespace {

std::string eventWith(const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:big\r\n"
         "DTSTAMP:20240101T000000Z\r\nDTSTART:20240501T090000Z\r\nDTEND:20240501T100000Z\r\n"
         "SUMMARY:Big\r\n" +
         lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string attachment(std::size_t bytes, bool folded) {
  std::string line = "ATTACH;ENCODING=BASE64;VALUE=BINARY:";
  for (std::size_t i = 0; i < bytes; ++i) {
    if (folded && line.size() % 77 == 75) line += "\r\n ";
    line += static_cast<char>('A' + i % 26);
  }
  return line + "\r\n";
}

std::string attendees(std::size_t bytes) {
  std::string lines;
  for (int i = 0; lines.size() < bytes; ++i) {
    lines += "ATTENDEE;CN=Person " + std::to_string(i) + ";ROLE=REQ-PARTICIPANT:mailto:p" +
             std::to_string(i) + "@example.com\r\n";
  }
  return lines;
}

void parse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto item = ICalItem::parse(text, nullptr);
    if (!item) state.SkipWithError("not parsed");
    benchmark::DoNotOptimize(item->event());
  }
  state.counters["MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
}

void BM_OneLongLine(benchmark::State& state) {
  parse(state, eventWith(attachment(static_cast<std::size_t>(state.range(0)), false)));
}

void BM_OneLongFoldedLine(benchmark::State& state) {
  parse(state, eventWith(attachment(static_cast<std::size_t>(state.range(0)), true)));
}

void BM_ManyLines(benchmark::State& state) {
  parse(state, eventWith(attendees(static_cast<std::size_t>(state.range(0)))));
}

constexpr long kKiB = 1024;
constexpr long kMiB = 1024 * kKiB;

void lineLengths(benchmark::internal::Benchmark* bench) {
  for (long bytes : {256 * kKiB, 512 * kKiB, kMiB, 2 * kMiB, 4 * kMiB}) bench->Arg(bytes);
  bench->Unit(benchmark::kMillisecond)->Iterations(3);
}

BENCHMARK(BM_OneLongLine)->Apply(lineLengths);
BENCHMARK(BM_OneLongFoldedLine)->Apply(lineLengths);
BENCHMARK(BM_ManyLines)
    ->Arg(kMiB)
    ->Arg(4 * kMiB)
    ->Arg(16 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace tvrn
