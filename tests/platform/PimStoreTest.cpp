#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <thread>

#include "platform/Paths.h"
#include "platform/PimCodec.h"
#include "platform/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }
std::string textOf(PimTime time) { return PimCodec::instantText(time); }
std::filesystem::path pimFile(const std::string& name) {
  return Paths::appSupport() / "pim" / name;
}

std::vector<std::string> startsOf(const std::vector<Event>& events) {
  std::vector<std::string> starts;
  for (const auto& event : events) starts.push_back(textOf(event.start));
  return starts;
}

class PimStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::writeFile(pimFile("calendars.json"), R"({
      "calendars": [
        {"id": "home", "title": "Home", "type": "calDAV", "color": [1.0, 0.5, 0.0],
         "source": {"title": "iCloud", "type": "calDAV"}},
        {"id": "holidays", "title": "Holidays", "type": "subscription", "writable": false},
        {"id": "work", "title": "Work", "type": "exchange"}
      ],
      "default": "work"
    })");
    test::writeFile(pimFile("reminder-lists.json"), R"({
      "lists": [{"id": "errands", "title": "Errands"}, {"id": "jobs", "title": "Jobs"}]
    })");
  }

  Event timed(const std::string& start, const std::string& end, const std::string& title,
              std::optional<RecurrenceRule> rule = {}) {
    Event event;
    event.calendarId = "home";
    event.title = title;
    event.start = at(start);
    event.end = at(end);
    event.recurrence = rule;
    auto saved = store.saveEvent(event);
    EXPECT_TRUE(saved.ok()) << (saved.ok() ? "" : saved.error().message);
    return saved.ok() ? saved.value() : event;
  }

  std::vector<std::string> startsBetween(const std::string& from, const std::string& to) {
    return startsOf(store.events(at(from), at(to)));
  }

  PimStore& store = PimStore::shared();
};

TEST_F(PimStoreTest, ReadsSeededCalendarsWithTheirDefaults) {
  const auto calendars = store.calendars(EntityType::event);
  ASSERT_EQ(calendars.size(), 3u);
  EXPECT_EQ(calendars[0].title, "Home");
  EXPECT_EQ(calendars[0].type, CalendarType::calDAV);
  EXPECT_EQ(calendars[0].color, (std::vector<double>{1.0, 0.5, 0.0}));
  EXPECT_EQ(calendars[0].source, (CalendarSource{"iCloud", SourceType::calDAV}));
  EXPECT_FALSE(calendars[1].allowsContentModifications);
  EXPECT_FALSE(calendars[2].color.has_value());

  EXPECT_EQ(store.defaultCalendarForNewEvents()->id, "work");
  // No recorded default: the first list that takes changes.
  EXPECT_EQ(store.defaultCalendarForNewReminders()->id, "errands");
  ASSERT_TRUE(store.setDefaultCalendar(EntityType::reminder, "jobs").ok());
  EXPECT_EQ(store.defaultCalendarForNewReminders()->id, "jobs");
  EXPECT_FALSE(store.setDefaultCalendar(EntityType::event, "jobs").ok());

  EXPECT_EQ(store.calendar("jobs")->entityType, EntityType::reminder);
  EXPECT_FALSE(store.calendar("nothing"));

  Calendar added;
  added.title = "Family";
  auto saved = store.saveCalendar(added);
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved.value().id.size(), 36u);
  EXPECT_EQ(store.calendars(EntityType::event).back().title, "Family");
  Calendar clash;
  clash.id = "errands";
  EXPECT_FALSE(store.saveCalendar(clash).ok());
}

TEST_F(PimStoreTest, ExpandsRepeatingEventsAcrossARange) {
  struct Case {
    const char* name;
    const char* start;
    RecurrenceRule rule;
    const char* from;
    const char* to;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"daily, three times",
       "2024-05-01T09:00:00Z",
       {RecurrenceFrequency::daily, 1, 3, {}},
       "2024-04-01T00:00:00Z",
       "2024-06-01T00:00:00Z",
       {"2024-05-01T09:00:00Z", "2024-05-02T09:00:00Z", "2024-05-03T09:00:00Z"}},
      {"weekly until a date, range opening mid-series",
       "2024-05-01T09:00:00Z",
       {RecurrenceFrequency::weekly, 1, {}, at("2024-05-29T09:00:00Z")},
       "2024-05-10T00:00:00Z",
       "2024-12-31T00:00:00Z",
       {"2024-05-15T09:00:00Z", "2024-05-22T09:00:00Z", "2024-05-29T09:00:00Z"}},
      {"every second month on the 31st skips short months",
       "2024-01-31T09:00:00Z",
       {RecurrenceFrequency::monthly, 2, 4, {}},
       "2024-01-01T00:00:00Z",
       "2026-01-01T00:00:00Z",
       {"2024-01-31T09:00:00Z", "2024-03-31T09:00:00Z", "2024-05-31T09:00:00Z",
        "2024-07-31T09:00:00Z"}},
      {"endless daily series far from its start",
       "2000-01-01T09:00:00Z",
       {RecurrenceFrequency::daily, 1, {}, {}},
       "2030-06-15T00:00:00Z",
       "2030-06-17T00:00:00Z",
       {"2030-06-15T09:00:00Z", "2030-06-16T09:00:00Z"}},
      {"an occurrence still running at the range's start",
       "2024-05-01T23:00:00Z",
       {RecurrenceFrequency::daily, 1, {}, {}},
       "2024-05-03T00:30:00Z",
       "2024-05-03T01:00:00Z",
       {"2024-05-02T23:00:00Z"}},
      {"yearly on the 29th of February",
       "2024-02-29T09:00:00Z",
       {RecurrenceFrequency::yearly, 1, 2, {}},
       "2024-01-01T00:00:00Z",
       "2040-01-01T00:00:00Z",
       {"2024-02-29T09:00:00Z", "2028-02-29T09:00:00Z"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto start = at(c.start);
    auto series = timed(c.start, textOf(start + std::chrono::hours(2)), c.name, c.rule);
    EXPECT_EQ(startsOf(store.events(at(c.from), at(c.to), std::vector{std::string("home")})),
              c.expected);
    ASSERT_TRUE(store.removeEvent(series.id, Span::futureEvents).ok());
  }
  EXPECT_TRUE(store.events(at("1999-01-01T00:00:00Z"), at("2050-01-01T00:00:00Z")).empty());
}

// Ties and changed occurrences decide a listing's order: keeping only its first few must neither
// reorder nor drop any of them, and the count still covers them all.
TEST_F(PimStoreTest, AListingsFirstEventsAreTheWholeListingsFirstInOrder) {
  test::writeFile(pimFile("events.json"), R"({"events": [
    {"id": "a", "calendar": "home", "title": "A", "start": "2024-05-01T09:00:00Z",
     "end": "2024-05-01T10:00:00Z", "recurrence": {"frequency": "daily", "count": 4},
     "exceptions": [
       {"occurrence": "2024-05-02T09:00:00Z", "title": "A changed"},
       {"occurrence": "2024-05-03T09:00:00Z", "title": "A moved",
        "start": "2024-05-02T09:00:00Z", "end": "2024-05-02T10:00:00Z"}]},
    {"id": "s", "calendar": "work", "title": "S", "start": "2024-05-02T09:00:00Z",
     "end": "2024-05-02T09:30:00Z"},
    {"id": "b", "calendar": "home", "title": "B", "start": "2024-04-20T09:00:00Z",
     "end": "2024-04-20T10:00:00Z", "recurrence": {"frequency": "daily"},
     "exceptions": [
       {"occurrence": "2024-04-25T09:00:00Z", "title": "B moved",
        "start": "2024-05-01T08:00:00Z", "end": "2024-05-01T08:30:00Z"},
       {"occurrence": "2024-05-01T09:00:00Z", "removed": true}]}]})");
  const auto titlesOf = [](const std::vector<Event>& events) {
    std::vector<std::string> titles;
    for (const auto& event : events) titles.push_back(event.title);
    return titles;
  };
  const PimTime from = at("2024-05-01T00:00:00Z");
  const PimTime to = at("2024-05-03T00:00:00Z");
  const std::vector<std::string> order = {"B moved", "A", "A changed", "A moved", "S", "B"};
  ASSERT_EQ(titlesOf(store.events(from, to)), order);
  for (size_t limit = 0; limit <= order.size() + 1; ++limit) {
    const EventPage page = store.firstEvents(from, to, std::nullopt, limit);
    const std::vector<std::string> first(order.begin(),
                                         order.begin() + std::min(limit, order.size()));
    EXPECT_EQ(titlesOf(page.events), first) << limit;
    EXPECT_EQ(page.totalMatched, order.size()) << limit;
    EXPECT_TRUE(page.complete) << limit;
  }
  const EventPage home = store.firstEvents(from, to, std::vector{std::string("home")}, 3);
  EXPECT_EQ(titlesOf(home.events), (std::vector<std::string>{"B moved", "A", "A changed"}));
  EXPECT_EQ(home.events[1].calendarTitle, "Home");
  EXPECT_EQ(home.totalMatched, 5u);

  // Cut short at its cap, a listing still begins with the earliest events.
  const EventPage capped = store.firstEvents(from, to, std::nullopt, 2, 3);
  EXPECT_FALSE(capped.complete);
  EXPECT_GE(capped.totalMatched, 3u);
  EXPECT_EQ(titlesOf(capped.events), (std::vector<std::string>{"B moved", "A"}));
}

// Twenty endless daily series over every year the store keeps hold some four million
// occurrences: a listing counts up to its cap and still answers the earliest of them.
TEST_F(PimStoreTest, AWideRangeOverManyDailySeriesStopsAtTheCap) {
  nlohmann::json events = nlohmann::json::array();
  for (int i = 0; i < 20; ++i) {
    const PimTime first = at("1700-01-01") + std::chrono::days(i);
    events.push_back({{"id", "d" + std::to_string(i)},
                      {"calendar", "home"},
                      {"allDay", true},
                      {"start", PimCodec::dayText(first)},
                      {"end", PimCodec::dayText(first + std::chrono::days(1))},
                      {"recurrence", {{"frequency", "daily"}}}});
  }
  test::writeFile(pimFile("events.json"), nlohmann::json{{"events", events}}.dump());
  const auto idsOf = [](const EventPage& page) {
    std::vector<std::string> ids;
    for (const auto& event : page.events) ids.push_back(event.id);
    return ids;
  };

  const EventPage all = store.firstEvents(at("1700-01-01"), at("2261-12-31"), std::nullopt, 3, 500);
  EXPECT_FALSE(all.complete);
  EXPECT_EQ(all.totalMatched, 500u);
  EXPECT_EQ(idsOf(all), (std::vector<std::string>{"d0/17000101", "d0/17000102", "d1/17000102"}));

  // Within the cap the count is exact.
  const EventPage leap = store.firstEvents(at("2024-01-01"), at("2025-01-01"), std::nullopt, 1);
  EXPECT_TRUE(leap.complete);
  EXPECT_EQ(leap.totalMatched, 20u * 366);
  EXPECT_EQ(idsOf(leap), std::vector<std::string>{"d0/20240101"});
}

TEST_F(PimStoreTest, RepeatsAtTheSameLocalTimeAcrossADaylightSavingChange) {
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  // 09:00 in Berlin is 07:00 UTC in summer and 08:00 UTC in winter.
  timed("2024-10-20T07:00:00Z", "2024-10-20T08:00:00Z", "Stand-up",
        RecurrenceRule{RecurrenceFrequency::weekly, 1, 3, {}});
  EXPECT_EQ(startsBetween("2024-10-01T00:00:00Z", "2024-12-01T00:00:00Z"),
            (std::vector<std::string>{"2024-10-20T07:00:00Z", "2024-10-27T08:00:00Z",
                                      "2024-11-03T08:00:00Z"}));
  EXPECT_EQ(store.events(at("2024-10-27T00:00:00Z"), at("2024-10-28T00:00:00Z"))[0].end,
            at("2024-10-27T09:00:00Z"));
}

TEST_F(PimStoreTest, ChangesOneOccurrenceOrEveryLaterOne) {
  const Event first = timed("2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z", "Yoga",
                            RecurrenceRule{RecurrenceFrequency::daily, 1, 5, {}});
  const auto all = store.events(at("2024-05-01T00:00:00Z"), at("2024-06-01T00:00:00Z"));
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(first.id, all[0].id);
  EXPECT_NE(all[1].id, all[2].id);

  // The third occurrence alone moves to the afternoon; its id stays.
  Event third = *store.event(all[2].id);
  third.title = "Yoga outdoors";
  third.start = at("2024-05-03T15:00:00Z");
  third.end = at("2024-05-03T16:00:00Z");
  auto saved = store.saveEvent(third, Span::thisEvent);
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved.value().id, all[2].id);
  EXPECT_EQ(store.event(all[2].id)->title, "Yoga outdoors");
  EXPECT_EQ(startsBetween("2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z"),
            (std::vector<std::string>{"2024-05-01T09:00:00Z", "2024-05-02T09:00:00Z",
                                      "2024-05-03T15:00:00Z", "2024-05-04T09:00:00Z",
                                      "2024-05-05T09:00:00Z"}));
  // Found even by a range that holds only its new time.
  EXPECT_EQ(startsBetween("2024-05-03T14:00:00Z", "2024-05-03T17:00:00Z").size(), 1u);

  // From the second on, a new location; the moved third keeps its own time and title.
  Event second = *store.event(all[1].id);
  second.location = "Studio B";
  ASSERT_TRUE(store.saveEvent(second, Span::futureEvents).ok());
  const auto after = store.events(at("2024-05-01T00:00:00Z"), at("2024-06-01T00:00:00Z"));
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(after[0].location, "");
  for (size_t i = 1; i < after.size(); ++i) EXPECT_EQ(after[i].location, "Studio B") << i;
  EXPECT_EQ(after[2].title, "Yoga outdoors");
  EXPECT_EQ(textOf(after[2].start), "2024-05-03T15:00:00Z");
  EXPECT_EQ(after[4].title, "Yoga");

  // A later time for every occurrence from the fourth on.
  Event fourth = after[3];
  fourth.start = at("2024-05-04T18:00:00Z");
  fourth.end = at("2024-05-04T19:00:00Z");
  ASSERT_TRUE(store.saveEvent(fourth, Span::futureEvents).ok());
  EXPECT_EQ(startsBetween("2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z"),
            (std::vector<std::string>{"2024-05-01T09:00:00Z", "2024-05-02T09:00:00Z",
                                      "2024-05-03T15:00:00Z", "2024-05-04T18:00:00Z",
                                      "2024-05-05T18:00:00Z"}));

  Event elsewhere = *store.event(all[0].id);
  elsewhere.calendarId = "work";
  EXPECT_EQ(store.saveEvent(elsewhere, Span::thisEvent).error().code, PimError::Code::invalid);
}

TEST_F(PimStoreTest, RemovesOneOccurrenceOrEveryLaterOne) {
  const Event first = timed("2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z", "Run",
                            RecurrenceRule{RecurrenceFrequency::weekly, 1, {}, {}});
  auto weeks = store.events(at("2024-05-01T00:00:00Z"), at("2024-05-30T00:00:00Z"));
  ASSERT_EQ(weeks.size(), 5u);

  auto removed = store.removeEvent(weeks[1].id, Span::thisEvent);
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(textOf(removed.value().start), "2024-05-08T09:00:00Z");
  EXPECT_FALSE(store.event(weeks[1].id));
  EXPECT_FALSE(store.removeEvent(weeks[1].id).ok());

  ASSERT_TRUE(store.removeEvent(weeks[3].id, Span::futureEvents).ok());
  EXPECT_EQ(startsBetween("2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z"),
            (std::vector<std::string>{"2024-05-01T09:00:00Z", "2024-05-15T09:00:00Z"}));

  // Without its first occurrence the series id names the next one.
  const std::string series = first.id.substr(0, first.id.find('/'));
  ASSERT_TRUE(store.removeEvent(weeks[0].id, Span::thisEvent).ok());
  ASSERT_TRUE(store.event(series));
  EXPECT_EQ(store.event(series)->id, weeks[2].id);
  ASSERT_TRUE(store.removeEvent(series, Span::futureEvents).ok());
  EXPECT_FALSE(store.event(series));
  // Nothing of it is left behind in the file.
  const auto file = nlohmann::json::parse(test::readFile(pimFile("events.json")));
  EXPECT_TRUE(file["events"].empty());
}

TEST_F(PimStoreTest, KeepsAllDayEventsAsWholeDays) {
  Event holiday;
  holiday.calendarId = "home";
  holiday.title = "Bank holiday";
  holiday.allDay = true;
  holiday.start = at("2024-05-01T00:00:00Z");
  holiday.end = at("2024-05-02T00:00:00Z");
  const Event saved = store.saveEvent(holiday).value();

  Event trip = holiday;
  trip.title = "Trip";
  trip.start = at("2024-05-10T13:00:00Z");  // times within a day widen to the whole days
  trip.end = at("2024-05-12T08:00:00Z");
  const Event savedTrip = store.saveEvent(trip).value();
  EXPECT_EQ(textOf(savedTrip.start), "2024-05-10T00:00:00Z");
  EXPECT_EQ(textOf(savedTrip.end), "2024-05-13T00:00:00Z");

  const auto file = nlohmann::json::parse(test::readFile(pimFile("events.json")));
  EXPECT_EQ(file["events"][0]["start"], "2024-05-01");
  EXPECT_EQ(file["events"][0]["end"], "2024-05-02");
  EXPECT_EQ(file["events"][0]["allDay"], true);

  EXPECT_EQ(store.events(at("2024-05-01T12:00:00Z"), at("2024-05-01T13:00:00Z"))[0].id, saved.id);
  EXPECT_TRUE(store.events(at("2024-05-02T00:00:00Z"), at("2024-05-03T00:00:00Z")).empty());
  EXPECT_EQ(store.events(at("2024-05-12T23:00:00Z"), at("2024-05-14T00:00:00Z")).size(), 1u);

  // Seeded by hand: a day with no end covers that one day; a yearly birthday repeats by days.
  test::writeFile(pimFile("events.json"), R"({"events": [
    {"id": "b", "calendar": "home", "title": "Ada", "allDay": true, "start": "2020-03-14",
     "recurrence": {"frequency": "yearly", "until": "2024-03-14"}}]})");
  const auto birthdays = store.events(at("2019-01-01T00:00:00Z"), at("2030-01-01T00:00:00Z"));
  ASSERT_EQ(birthdays.size(), 5u);
  EXPECT_EQ(birthdays[4].id, "b/20240314");
  EXPECT_EQ(textOf(birthdays[4].end), "2024-03-15T00:00:00Z");
}

TEST_F(PimStoreTest, RefusesChangesThatCannotBeStored) {
  const Event kept = timed("2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z", "Kept");
  struct Case {
    const char* name;
    Event event;
    PimError::Code code;
  };
  Event backwards = kept;
  backwards.end = at("2024-05-01T08:00:00Z");
  Event intoReadOnly = kept;
  intoReadOnly.id.clear();
  intoReadOnly.calendarId = "holidays";
  Event intoList = kept;
  intoList.calendarId = "errands";
  Event noCalendar = kept;
  noCalendar.calendarId.clear();
  Event unknown = kept;
  unknown.id = "missing";
  Event badRule = kept;
  badRule.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 0, {}, {}};
  const std::vector<Case> cases = {
      {"ends before it starts", backwards, PimError::Code::invalid},
      {"into a read-only calendar", intoReadOnly, PimError::Code::readOnly},
      {"into a reminder list", intoList, PimError::Code::noCalendar},
      {"without a calendar", noCalendar, PimError::Code::noCalendar},
      {"unknown event", unknown, PimError::Code::notFound},
      {"interval of zero", badRule, PimError::Code::invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto outcome = store.saveEvent(c.event);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, c.code);
    EXPECT_FALSE(outcome.error().message.empty());
  }
  EXPECT_EQ(store.event(kept.id)->end, kept.end);

  test::writeFile(pimFile("events.json"), R"({"events": [
    {"id": "fixed", "calendar": "holidays", "start": "2024-12-25", "allDay": true}]})");
  EXPECT_EQ(store.removeEvent("fixed").error().code, PimError::Code::readOnly);
}

TEST_F(PimStoreTest, KeepsRemindersWithDueDatesAndCompletion) {
  Reminder milk;
  milk.listId = "errands";
  milk.title = "Milk";
  milk.dueDateComponents = DateComponents{2024, 5, 2, 9, 30};
  milk.priority = 1;
  const Reminder savedMilk = store.saveReminder(milk).value();
  EXPECT_EQ(savedMilk.listTitle, "Errands");
  EXPECT_EQ(savedMilk.dueDateComponents->date(), at("2024-05-02T09:30:00Z"));

  Reminder taxes;
  taxes.listId = "jobs";
  taxes.title = "Taxes";
  taxes.dueDateComponents = DateComponents{2024, 5, 10, {}, {}};  // a day, no time
  Reminder savedTaxes = store.saveReminder(taxes).value();

  Reminder someday;
  someday.listId = "errands";
  someday.title = "Someday";
  store.saveReminder(someday).value();

  savedTaxes.completed = true;
  const Reminder done = store.saveReminder(savedTaxes).value();
  ASSERT_TRUE(done.completionDate);
  EXPECT_LE(*done.completionDate, std::chrono::system_clock::now());

  auto titles = [&](const ReminderQuery& query) {
    std::vector<std::string> found;
    for (const auto& r : store.reminders(query)) found.push_back(r.title);
    return found;
  };
  using Titles = std::vector<std::string>;
  EXPECT_EQ(titles({}), (Titles{"Milk", "Taxes", "Someday"}));
  EXPECT_EQ(titles({.filter = ReminderFilter::incomplete}), (Titles{"Milk", "Someday"}));
  EXPECT_EQ(titles({.filter = ReminderFilter::completed}), (Titles{"Taxes"}));
  EXPECT_EQ(titles({.filter = ReminderFilter::incomplete,
                    .from = at("2024-05-01T00:00:00Z"),
                    .to = at("2024-05-03T00:00:00Z")}),
            (Titles{"Milk"}));
  EXPECT_EQ(titles({.filter = ReminderFilter::completed, .to = at("2000-01-01T00:00:00Z")}),
            Titles{});
  EXPECT_EQ(titles({.listIds = std::vector<std::string>{"errands"}}), (Titles{"Milk", "Someday"}));
  EXPECT_EQ(titles({.listIds = std::vector<std::string>{}}), Titles{});

  Reminder reopened = *store.reminder(savedTaxes.id);
  reopened.completed = false;
  EXPECT_FALSE(store.saveReminder(reopened).value().completionDate);

  Reminder orphan = milk;
  orphan.listId = "home";  // an event calendar, not a list
  EXPECT_EQ(store.saveReminder(orphan).error().code, PimError::Code::noCalendar);
  EXPECT_EQ(store.removeReminder(savedMilk.id).value().title, "Milk");
  EXPECT_EQ(store.removeReminder(savedMilk.id).error().code, PimError::Code::notFound);
}

TEST_F(PimStoreTest, FindsContactsByNameEmailGroupAndContainer) {
  test::writeFile(pimFile("contact-containers.json"), R"({
    "containers": [{"id": "icloud", "name": "iCloud"}, {"id": "corp", "name": "Exchange",
                    "type": "exchange"}],
    "default": "icloud"})");
  test::writeFile(pimFile("contact-groups.json"), R"({
    "groups": [{"id": "g1", "name": "Climbing", "members": ["c2", "c3"]}]})");
  test::writeFile(pimFile("contacts.json"), R"({"contacts": [
    {"id": "c1", "givenName": "John", "familyName": "Smith",
     "emails": [{"label": "work", "value": "John.Smith@Example.com"}],
     "birthday": {"month": 7, "day": 4}},
    {"id": "c2", "container": "corp", "givenName": "Élodie", "familyName": "Martin",
     "nickname": "Lo", "phones": [{"label": "mobile", "value": "+33 6 12 34 56 78"}]},
    {"id": "c3", "container": "icloud", "organization": "Smithfield Climbing Gym",
     "addresses": [{"label": "work", "street": "1 Rock Rd", "city": "Leeds",
                    "postalCode": "LS1", "country": "UK"}]}
  ]})");
  auto ids = [](const std::vector<Contact>& contacts) {
    std::vector<std::string> found;
    for (const auto& c : contacts) found.push_back(c.id);
    return found;
  };
  using Ids = std::vector<std::string>;
  const struct {
    const char* query;
    Ids expected;
  } byName[] = {
      {"smith", {"c1", "c3"}}, {"JOHN SMI", {"c1"}}, {"élodie", {"c2"}}, {"ÉLODIE", {"c2"}},
      {"lo", {"c2"}},          {"gym", {"c3"}},      {"nobody", {}},     {"", {}}};
  for (const auto& c : byName)
    EXPECT_EQ(ids(store.contactsMatchingName(c.query)), c.expected) << c.query;

  EXPECT_TRUE(caselessContains("Homework", "WORK"));
  EXPECT_TRUE(caselessContains("Équipe Été", "équipe é"));
  EXPECT_FALSE(caselessContains("Home", ""));
  EXPECT_FALSE(caselessContains("Home", "homes"));

  EXPECT_EQ(ids(store.contactsMatchingEmailAddress("john.smith@example.COM")), Ids{"c1"});
  EXPECT_EQ(ids(store.contactsMatchingEmailAddress("example.com")), Ids{});
  EXPECT_EQ(ids(store.contactsInGroup("g1")), (Ids{"c2", "c3"}));
  EXPECT_EQ(ids(store.contactsInGroup("nope")), Ids{});
  EXPECT_EQ(store.defaultContainerIdentifier(), "icloud");
  EXPECT_EQ(ids(store.contactsInContainer("icloud")), (Ids{"c1", "c3"}));
  EXPECT_EQ(ids(store.contactsInContainer("corp")), Ids{"c2"});

  const Contact john = *store.contact("c1");
  EXPECT_EQ(formattedFullName(john), "John Smith");
  EXPECT_EQ(john.emailAddresses[0], (LabeledValue{"work", "John.Smith@Example.com"}));
  EXPECT_EQ(john.birthday, (DateComponents{{}, 7, 4, {}, {}}));
  EXPECT_FALSE(formattedFullName(*store.contact("c3")));
  EXPECT_EQ(store.contact("c3")->postalAddresses[0].city, "Leeds");

  Contact added;
  added.givenName = "Grace";
  added.birthday = DateComponents{1906, 12, 9, {}, {}};
  const Contact saved = store.saveContact(added).value();
  EXPECT_EQ(store.contact(saved.id)->birthday, added.birthday);
  added.birthday = DateComponents{1906, {}, 9, {}, {}};
  EXPECT_FALSE(store.saveContact(added).ok());
}

TEST_F(PimStoreTest, NeverOverwritesAFileItCannotRead) {
  std::vector<std::string> warnings;
  setPimWarningHandler([&](const std::string& line) { warnings.push_back(line); });
  const struct {
    const char* name;
    const char* content;
  } cases[] = {
      {"not JSON", "{\"events\": [ {\"id\": \"e1\", "},
      {"a record that does not read", R"({"events": [{"id": "e1", "start": "tomorrow"}]})"},
      {"not an object", "[1, 2, 3]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Paths::appSupport() / "pim");
    SetUp();
    warnings.clear();
    test::writeFile(pimFile("events.json"), c.content);

    EXPECT_TRUE(store.events(at("2000-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z")).empty());
    EXPECT_TRUE(store.events(at("2000-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z")).empty());
    ASSERT_EQ(warnings.size(), 1u);  // said once, not at every read
    EXPECT_EQ(test::readFile(pimFile("events.json")), c.content);

    timed("2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z", "New");
    ASSERT_EQ(warnings.size(), 2u);
    std::filesystem::path aside;
    for (const auto& entry :
         std::filesystem::directory_iterator(pimFile("events.json").parent_path())) {
      if (entry.path().filename().string().rfind("events.json.corrupt-", 0) == 0)
        aside = entry.path();
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(test::readFile(aside), c.content);
    EXPECT_NE(warnings[1].find(aside.string()), std::string::npos);
    EXPECT_EQ(store.events(at("2000-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z")).size(), 1u);
  }
  setPimWarningHandler(nullptr);
}

TEST_F(PimStoreTest, KeepsWhatItDoesNotKnowWhenRewritingAFile) {
  test::writeFile(pimFile("events.json"), R"({"version": 7, "events": [
    {"id": "e1", "calendar": "home", "title": "Old", "start": "2024-05-01T09:00:00+02:00",
     "end": "2024-05-01T10:00:00+02:00", "colourHint": "teal",
     "attendees": [{"name": "Ann", "url": "mailto:ann@example.com", "role": "chair",
                    "status": "accepted", "isMe": true}]}]})");
  Event event = *store.event("e1");
  EXPECT_EQ(textOf(event.start), "2024-05-01T07:00:00Z");
  EXPECT_EQ(event.calendarTitle, "Home");
  ASSERT_EQ(event.attendees.size(), 1u);
  EXPECT_EQ(event.attendees[0].role, ParticipantRole::chair);
  EXPECT_TRUE(event.attendees[0].isCurrentUser);
  event.title = "New";
  event.attendees.clear();  // attendees are not the store's to change
  ASSERT_TRUE(store.saveEvent(event).ok());

  const auto file = nlohmann::json::parse(test::readFile(pimFile("events.json")));
  EXPECT_EQ(file["version"], 7);
  EXPECT_EQ(file["events"][0]["colourHint"], "teal");
  EXPECT_EQ(file["events"][0]["title"], "New");
  EXPECT_EQ(store.event("e1")->attendees.size(), 1u);
}

TEST_F(PimStoreTest, LosesNoChangeMadeFromSeveralThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        Reminder reminder;
        reminder.listId = "errands";
        reminder.title = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(store.saveReminder(reminder).ok());
        store.reminders();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.reminders().size(), 40u);
}

}  // namespace
}  // namespace tvrn
