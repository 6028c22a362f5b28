#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "base/Timestamp.h"

namespace tvrn {
namespace {

using namespace std::chrono;

TEST(TimestampTest, WritesUTCToTheSecond) {
  struct Row {
    system_clock::time_point when;
    const char* iso;
    const char* compact;
  };
  const Row rows[] = {
      {system_clock::time_point{}, "1970-01-01T00:00:00Z", "19700101T000000Z"},
      {sys_days{2025y / 1 / 31} + 9h + 5min + 7s + 999ms, "2025-01-31T09:05:07Z",
       "20250131T090507Z"},
      // Floors rather than truncates, so a moment before 1970 keeps its own second.
      {system_clock::time_point{} - 1ms, "1969-12-31T23:59:59Z", "19691231T235959Z"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Timestamp::iso8601UTC(row.when), row.iso);
    EXPECT_EQ(Timestamp::compactUTC(row.when), row.compact);
  }
  EXPECT_EQ(Timestamp::iso8601UTCMillis(rows[1].when), "2025-01-31T09:05:07.999Z");
  EXPECT_EQ(Timestamp::iso8601UTCMillis(rows[2].when), "1969-12-31T23:59:59.999Z");
}

TEST(TimestampTest, ReadsOnlyTheFormItWrites) {
  const auto at = [](sys_days day, nanoseconds rest) {
    return time_point_cast<system_clock::duration>(day + rest);
  };
  const std::pair<const char*, std::optional<system_clock::time_point>> rows[] = {
      {"2025-01-31T09:05:07Z", at(2025y / 1 / 31, 9h + 5min + 7s)},
      {"2025-01-31T09:05:07.5Z", at(2025y / 1 / 31, 9h + 5min + 7s + 500ms)},
      {"2025-01-31T09:05:07.417Z", at(2025y / 1 / 31, 9h + 5min + 7s + 417ms)},
      {"2025-01-31T09:05:07.123456789Z", at(2025y / 1 / 31, 9h + 5min + 7s + 123456789ns)},
      // Digits past the nanosecond add nothing.
      {"2025-01-31T09:05:07.1234567891234Z", at(2025y / 1 / 31, 9h + 5min + 7s + 123456789ns)},
      {"1970-01-01T00:00:00Z", system_clock::time_point{}},
      {"2024-02-29T23:59:59Z", at(2024y / 2 / 29, 23h + 59min + 59s)},
      // A leap second is read as the first second of the next minute.
      {"2016-12-31T23:59:60Z", at(2017y / 1 / 1, 0s)},
      {"", std::nullopt},
      {"2025-01-31", std::nullopt},
      {"2025-01-31T09:05:07", std::nullopt},
      {"2025-01-31T09:05Z", std::nullopt},
      {"2025-01-31 09:05:07Z", std::nullopt},
      {"2025-01-31T09:05:07z", std::nullopt},
      {"2025-01-31T09:05:07+00:00", std::nullopt},
      {"2025-01-31T09:05:07.Z", std::nullopt},
      {"2025-01-31T09:05:07ZZ", std::nullopt},
      {"2025-01-31T09:05:07Z ", std::nullopt},
      {" 2025-01-31T09:05:07Z", std::nullopt},
      {"25-01-31T09:05:07Z", std::nullopt},
      {"2025-1-31T09:05:07Z", std::nullopt},
      {"2025-01-31T9:05:07Z", std::nullopt},
      {"-025-01-31T09:05:07Z", std::nullopt},
      {"2025-+1-31T09:05:07Z", std::nullopt},
      {"2025-13-01T00:00:00Z", std::nullopt},
      {"2025-00-10T00:00:00Z", std::nullopt},
      {"2025-02-29T00:00:00Z", std::nullopt},
      {"2025-04-31T00:00:00Z", std::nullopt},
      {"2025-01-00T00:00:00Z", std::nullopt},
      {"2025-01-31T24:00:00Z", std::nullopt},
      {"2025-01-31T23:60:00Z", std::nullopt},
      {"2025-01-31T23:59:61Z", std::nullopt},
      {"2025-01-31T09:05:07.5.5Z", std::nullopt},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(Timestamp::parseISO8601(text), expected) << text;
  }
  // Whatever it writes, it reads back.
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  EXPECT_EQ(Timestamp::parseISO8601(Timestamp::iso8601UTCMillis(now)), now);
}

}  // namespace
}  // namespace tvrn
