// The store's walk over a rule's instances, compared with python-dateutil's rrule (what khal
// expands with) on RFC 5545's examples and on generated rules of every frequency.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/OtherPrograms.h"
#include "pim/PimTypes.h"
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

// Instances spelled out: RFC 5545 3.8.5.3's examples with the days it lists, then rules a fault
// in the walk moves, worked out by hand. A day stands at the start's clock.
TEST(RecurrenceWalkTest, ListsTheInstancesSpelledOut) {
  const char* const rows[][3] = {
      // the start, the rule, the instances
      // WKST moves an every-other-week rule's grid: from Sunday 3 August, the 10th is off.
      {"19970805T090000", "FREQ=WEEKLY;INTERVAL=2;COUNT=4;BYDAY=TU,SU;WKST=MO",
       "19970805 19970810 19970819 19970824"},
      {"19970805T090000", "FREQ=WEEKLY;INTERVAL=2;COUNT=4;BYDAY=TU,SU;WKST=SU",
       "19970805 19970817 19970819 19970831"},
      {"19970512T090000", "FREQ=YEARLY;COUNT=3;BYWEEKNO=20;BYDAY=MO", "19970512 19980511 19990517"},
      {"19970930T090000", "FREQ=MONTHLY;COUNT=7;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1",
       "19970930 19971031 19971128 19971231 19980130 19980227 19980331"},
      // 2000 has 366 days: its last is the 31st, and the 306th from the end still 1 March.
      {"19990301T090000", "FREQ=YEARLY;COUNT=4;BYYEARDAY=-1,-306",
       "19990301 19991231 20000301 20001231"},
      // The times of an hour counted from their end.
      {"20250101T092000", "FREQ=HOURLY;COUNT=4;BYMINUTE=10,20,40;BYSETPOS=-2,-1",
       "20250101T092000 20250101T094000 20250101T102000 20250101T104000"},
      // 2026 begins on a Thursday: its week 1 from Sunday 4 January where weeks begin on Sundays
      // (the week of 28 December holds three of its days), from Monday 29 December else.
      {"20260105T090000", "FREQ=YEARLY;COUNT=2;BYWEEKNO=1;BYDAY=MO;WKST=SU", "20260105 20270104"},
      // 2021 has 52 weeks: 1 January 2022 is in its last (dateutil counts 53).
      {"20220101T090000", "FREQ=YEARLY;COUNT=3;BYWEEKNO=52;BYDAY=SA", "20220101 20221231 20231230"},
      // 2026, 2032 and 2037 have 53 weeks: the first of each begins in December (dateutil: none).
      {"20251230T090000", "FREQ=YEARLY;COUNT=3;BYWEEKNO=-53;BYDAY=TU",
       "20251230 20311230 20361230"},
      // A week's set is the whole week (dateutil's first begins at the start: the 5th).
      {"20250903T090000", "FREQ=WEEKLY;COUNT=3;BYDAY=MO,WE,FR;BYSETPOS=2",
       "20250903 20250910 20250917"},
  };
  for (const auto& [start, rule, days] : rows) {
    std::string wanted;
    std::istringstream listed(days);
    for (std::string day; listed >> day;) {
      wanted += (wanted.empty() ? "" : " ") + day + (day.size() == 8 ? start + 8 : "");
    }
    EXPECT_EQ(walked(start, rule), wanted) << rule;
  }
}

// RFC 5545 3.8.5.3's examples that other programs get wrong most, a part RFC 5545 does not allow
// at the frequency (a numbered weekday of a daily rule), then generated rules, bounded by a COUNT
// or an UNTIL, with every BY part, each part written once.
std::vector<std::pair<std::string, std::string>> generatedRules(unsigned seed) {
  std::vector<std::pair<std::string, std::string>> rules = {
      {"19970904T090000", "FREQ=MONTHLY;COUNT=3;BYDAY=TU,WE,TH;BYSETPOS=3"},
      {"19970929T090000", "FREQ=MONTHLY;COUNT=7;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-2"},
      {"19970512T090000", "FREQ=YEARLY;COUNT=3;BYWEEKNO=20;BYDAY=MO"},
      {"19970519T090000", "FREQ=YEARLY;COUNT=3;BYDAY=20MO"},
      {"20250101T090000", "FREQ=DAILY;COUNT=3;BYDAY=-1FR"},
  };
  std::mt19937 random(seed);
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
    part("BYWEEKNO", freq == 6 ? 20 : 3, 2, 1, 53, true);
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
// rule that never matches, followed to the year 9999) or failed (a place past a month's weeks);
// none where it finds the rule empty.
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
        found = [d for d in rrulestr(rule, dtstart=datetime.strptime(start, '%Y%m%dT%H%M%S'))[:400]
                 if d.year <= int(sys.argv[1])]  # the years the walk follows
        busy = False
        text = ' '.join(d.strftime('%Y%m%dT%H%M%S') for d in found)
    except TimeoutError: text = '?'
    except Exception as e: text = '' if 'empty set' in str(e) else '?'
    busy = False; signal.setitimer(signal.ITIMER_REAL, 0); print(text)
)";

// Where dateutil parts from RFC 5545, told by the instances at which its list and the walk's
// first differ (a row above gives each as RFC 5545 has it). Days at the turn of a year may be in
// a week of the year before or after: dateutil counts the weeks of the year before from the
// length of the year at hand, and finds the next year's first week by 1 alone, not by its number
// from the end (a BYSETPOS then picks others of that year). A week's set is the whole week:
// dateutil begins a weekly rule's first week at the start.
bool dateutilDeviates(const std::string& start, const std::string& rule, const std::string& at) {
  icaltimetype weekOn = icaltime_from_string(start.c_str());
  icaltime_adjust(&weekOn, 7, 0, 0, 0);
  const std::string day = at.size() == 15 ? at.substr(4, 4) : "";
  const auto has = [&](const char* part) { return rule.find(part) != std::string::npos; };
  return (has("BYWEEKNO") && !day.empty() && (day <= "0103" || day >= "1229")) ||
         (has("FREQ=WEEKLY") && has("BYSETPOS") && !day.empty() && at < wallText(weekOn));
}

// A new seed each run; TVRN_WALK_SEED gives the one a failure names.
TEST(RecurrenceWalkTest, ListsGeneratedRulesAsDateutilDoes) {
  NEED(python, "python3");
  const char* replay = std::getenv("TVRN_WALK_SEED");
  const unsigned seed = replay != nullptr ? std::stoul(replay) : std::random_device{}();
  SCOPED_TRACE("TVRN_WALK_SEED=" + std::to_string(seed));
  const auto rules = generatedRules(seed);
  std::string input;
  for (const auto& [start, rule] : rules) input += start + " " + rule + "\n";
  const std::string output =
      test::run({python, "-c", kDateutil, std::to_string(kPimLastYear + 1)}, input);
  if (output.rfind("missing", 0) == 0)
    GTEST_SKIP() << "python3-dateutil is not installed (install-deps)";
  std::istringstream lines(output);
  int compared = 0;
  for (const auto& [start, rule] : rules) {
    std::string theirs;
    if (!std::getline(lines, theirs)) break;
    if (theirs == "?") continue;
    ++compared;
    const std::string ours = walked(start, rule);
    const size_t at =
        static_cast<size_t>(
            std::mismatch(ours.begin(), ours.end(), theirs.begin(), theirs.end()).first -
            ours.begin()) /
        16 * 16;
    const auto deviates = [&](const std::string& l) {
      return dateutilDeviates(start, rule, l.substr(at, 15));
    };
    if (deviates(ours) || deviates(theirs)) continue;
    EXPECT_EQ(ours, theirs) << "DTSTART:" << start << "\nRRULE:" << rule;
  }
  EXPECT_GT(compared, 250);
}

}  // namespace
}  // namespace tvrn
