// Events listed as a person reads a calendar, to compare what the store lists with what khal
// lists of the same folder.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/OtherPrograms.h"
#include "pim/PimTypes.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// "<local start> <title>", an all-day event's day alone.
inline std::string shown(const Event& e) {
  const time_t start = std::chrono::system_clock::to_time_t(e.start);
  std::tm at{};
  e.allDay ? ::gmtime_r(&start, &at) : ::localtime_r(&start, &at);
  char text[32];
  std::strftime(text, sizeof text, e.allDay ? "%Y-%m-%d" : "%Y-%m-%d %H:%M", &at);
  return text + (" " + e.title);
}

// What khal lists of a calendar folder from one day through another, as shown, sorted.
inline std::vector<std::string> khalList(const std::string& khal,
                                         const std::filesystem::path& folder, const char* from,
                                         const char* through) {
  writeFile(home() / ".config" / "khal" / "config",
            "[calendars]\n[[work]]\npath = " + folder.string() +
                "\n[locale]\ndateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                "longdateformat = %Y-%m-%d\nlongdatetimeformat = %Y-%m-%d %H:%M\n");
  std::filesystem::remove(home() / ".local" / "share" / "khal" / "khal.db");  // its cache
  std::istringstream out(
      run({khal, "list", "--day-format", "", "--format", "{start} {title}", from, through}));
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace tvrn::test
