// The store's walk over a rule's instances, compared with python-dateutil's rrule (what khal
// expands with) on RFC 5545's examples and on generated rules of every frequency.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/OtherPrograms.h"
#include "pim/RecurrenceWalk.h"

namespace tvrn {
namespace {

std::string wallText(const icaltimetype& t) { return icaltime_as_ical_string(t); }

// The walk's instances of `rule` from the floating `start`, as dateutil writes them.
std::string walked(const std::string& start, const std::string& rule) {
  RecurrenceWalk walk(icalrecurrencetype_from_string(rule.c_str()),
                      icaltime_from_string(start.c_str()));
  std::string out;
  for (int i = 0; i < 400; ++i) {
    const icaltimetype t = walk.next();
    if (icaltime_is_null_time(t)) break;
    out += (out.empty() ? "" : " ") + wallText(t);
  }
  return out;
}

// RFC 5545 3.8.5.3's examples that other programs get wrong most, a part RFC 5545 does not allow
// at the frequency (a numbered weekday of a daily rule), then generated rules, bounded by a COUNT
// or an UNTIL, with every BY part.
std::vector<std::pair<std::string, std::string>> generatedRules() {
  std::vector<std::pair<std::string, std::string>> rules = {
      {"19970904T090000", "FREQ=MONTHLY;COUNT=3;BYDAY=TU,WE,TH;BYSETPOS=3"},
      {"19970929T090000", "FREQ=MONTHLY;COUNT=7;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-2"},
      {"19970512T090000", "FREQ=YEARLY;COUNT=3;BYWEEKNO=20;BYDAY=MO"},
      {"19970519T090000", "FREQ=YEARLY;COUNT=3;BYDAY=20MO"},
      {"20250101T090000", "FREQ=DAILY;COUNT=3;BYDAY=-1FR"},
  };
  std::mt19937 random(80);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const auto chance = [&](int percent) { return pick(100) < percent; };
  const char* const freqs[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                               "WEEKLY",   "MONTHLY",  "YEARLY"};
  const char* const weekdays[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
  const int longestInterval[] = {90, 90, 30, 10, 5, 5, 3};
  const int untilHours[] = {2, 48, 480, 24 * 200, 24 * 700, 24 * 1800, 24 * 11000};
  for (int i = 0; i < 350; ++i) {
    const int freq = i % 7;
    icaltimetype start = icaltime_null_time();
    start.year = 1998 + pick(33), start.month = 1 + pick(12), start.day = 1 + pick(28);
    start.hour = pick(24), start.minute = chance(50) ? 0 : pick(60);
    start.second = chance(70) ? 0 : pick(60);
    std::string rule = std::string("FREQ=") + freqs[freq];
    if (chance(50)) rule += ";INTERVAL=" + std::to_string(1 + pick(longestInterval[freq]));
    // A part of up to `most` values, signed where asked, one of them now and then listed twice.
    const auto part = [&](const char* name, int percent, int most, int low, int high, bool sign) {
      if (!chance(percent)) return;
      std::string list;
      for (int n = 1 + pick(most); n > 0; --n) {
        const int value = low + pick(high - low + 1);
        list += (list.empty() ? "" : ",") + std::to_string(sign && chance(40) ? -value : value);
      }
      if (chance(10)) list += "," + list.substr(0, list.find(','));
      rule += ";" + std::string(name) + "=" + list;
    };
    part("BYMONTH", 25, 3, 1, 12, false);
    part("BYWEEKNO", freq == 6 ? 20 : 3, 2, 1, 53, false);
    if (freq == 6 && chance(8)) rule += ";BYWEEKNO=-" + std::to_string(1 + pick(3));
    part("BYYEARDAY", 12, 3, 1, 366, true);
    part("BYMONTHDAY", 30, 3, 1, 31, true);
    if (chance(40)) {  // placed all or none: dateutil reads a list of both as both at once
      const bool placed = chance(freq >= 5 ? 50 : 10);  // now and then where RFC 5545 allows none
      rule += ";BYDAY=";
      for (int n = 1 + pick(3); n > 0; --n) {
        const int place = (1 + pick(freq == 6 && chance(30) ? 53 : 5)) * (chance(40) ? -1 : 1);
        rule += (placed ? std::to_string(place) : "") + weekdays[pick(7)] + (n > 1 ? "," : "");
      }
    }
    part("BYHOUR", 30, 3, 0, 23, false);
    part("BYMINUTE", 30, 3, 0, 59, false);
    part("BYSECOND", 20, 2, 0, 59, false);
    part("BYSETPOS", 20, 2, 1, 4, true);
    if (chance(20)) rule += std::string(";WKST=") + weekdays[pick(7)];
    icaltimetype until = start;
    icaltime_adjust(&until, 0, 1 + pick(untilHours[freq]), 0, 0);
    rule += chance(70) ? ";COUNT=" + std::to_string(1 + pick(12)) : ";UNTIL=" + wallText(until);
    rules.emplace_back(wallText(start), rule);
  }
  return rules;
}

// dateutil's instances of each rule, a line each, from one python3; "?" where it took too long (a
// rule that never matches, followed to the year 9999); none where it finds the rule empty.
const char* const kDateutil = R"(
import signal, sys
from datetime import datetime
try: from dateutil.rrule import rrulestr
except ImportError: print('missing'); sys.exit(0)
busy = False
def late(*_):
    if busy: raise TimeoutError()
signal.signal(signal.SIGALRM, late)
for line in sys.stdin:
    start, rule = line.split()
    busy = True
    signal.setitimer(signal.ITIMER_REAL, 0.03)
    try:
        found = list(rrulestr(rule, dtstart=datetime.strptime(start, '%Y%m%dT%H%M%S'))[:400])
        busy = False
        text = ' '.join(d.strftime('%Y%m%dT%H%M%S') for d in found)
    except TimeoutError: text = '?'
    except ValueError as e: text = '' if 'empty set' in str(e) else '?'
    busy = False; signal.setitimer(signal.ITIMER_REAL, 0); print(text)
)";

TEST(RecurrenceWalkTest, ListsGeneratedRulesAsDateutilDoes) {
  NEED(python, "python3");
  const auto rules = generatedRules();
  std::string input;
  for (const auto& [start, rule] : rules) input += start + " " + rule + "\n";
  const std::string output = test::run({python, "-c", kDateutil}, input);
  if (output.rfind("missing", 0) == 0)
    GTEST_SKIP() << "python3-dateutil is not installed (install-deps)";
  std::istringstream lines(output);
  int compared = 0;
  for (const auto& [start, rule] : rules) {
    std::string theirs;
    if (!std::getline(lines, theirs)) break;
    if (theirs == "?") continue;
    ++compared;
    EXPECT_EQ(walked(start, rule), theirs) << "DTSTART:" << start << "\nRRULE:" << rule;
  }
  EXPECT_GT(compared, 250);
}

}  // namespace
}  // namespace tvrn
