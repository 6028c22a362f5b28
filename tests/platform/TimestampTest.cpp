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

}  // namespace
}  // namespace tvrn
