#include <gtest/gtest.h>

#include "platform/Timestamp.h"

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

TEST(TimestampTest, ReadsInternetTimesBack) {
  const auto moment = sys_days{2026y / 3 / 1} + 9h + 15min + 2s;
  struct Row {
    const char* text;
    std::optional<system_clock::time_point> when;
  };
  const Row rows[] = {
      {"2026-03-01T09:15:02Z", moment},
      {"2026-03-01T09:15:02.417Z", moment + 417ms},
      {"2026-03-01T10:15:02+01:00", moment},
      {"2026-03-01T08:45:02.5-00:30", moment + 500ms},
      {"2026-03-01T09:15:02", std::nullopt},
      {"2026-03-01 09:15:02Z", std::nullopt},
      {"2026-02-30T09:15:02Z", std::nullopt},
      {"2026-03-01T24:00:00Z", std::nullopt},
      {"2026-03-01T09:15:02.Z", std::nullopt},
      {"2026-03-01T09:15:02Zjunk", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Timestamp::parseISO8601(row.text), row.when) << row.text;
  }
}

}  // namespace
}  // namespace tvrn
