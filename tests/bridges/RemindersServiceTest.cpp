#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::failureReply;
using test::textReply;

std::vector<std::string> titles(const json& reply) {
  std::vector<std::string> found;
  for (const auto& reminder : reply["result"]["reminders"]) found.push_back(reminder["title"]);
  return found;
}

// Lists Work (the default), Homework and Personal. "Report" is due May 3, "Essay" (done) May 1,
// "Call" May 2 at 9:30; "Groceries" has no due date.
class RemindersServiceTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // Central European time without tzdata
    ::tzset();
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
    test::startWithoutCollections();
    auto& store = data();
    Calendar work = test::calendarNamed("Work", EntityType::reminder);
    work.color = std::vector<double>{0.0, 1.0, 0.0};
    work_ = store.saveCalendar(work).value().id;
    homework_ =
        store.saveCalendar(test::calendarNamed("Homework", EntityType::reminder)).value().id;
    personal_ =
        store.saveCalendar(test::calendarNamed("Personal", EntityType::reminder)).value().id;
    EXPECT_TRUE(store.setDefaultCalendar(EntityType::reminder, work_));
    report_ = add(work_, "Report", DateComponents{2024, 5, 3});
    add(personal_, "Groceries", std::nullopt);
    add(homework_, "Essay", DateComponents{2024, 5, 1}, true);
    add(work_, "Call", DateComponents{2024, 5, 2, 9, 30});
  }

  json call(const std::string& method, const json& args = json::object()) {
    return callData(method, args);
  }

  std::string add(const std::string& list, const std::string& title,
                  std::optional<DateComponents> due, bool completed = false) {
    Reminder reminder;
    reminder.listId = list;
    reminder.title = title;
    reminder.dueDateComponents = due;
    reminder.completed = completed;
    return data().saveReminder(reminder).value().id;
  }

  std::string work_, homework_, personal_, report_;
};

TEST_F(RemindersServiceTest, ListsByDueDateWithUndatedLastAndFilters) {
  // Three reminders of which one reply holds two: each takes about 1.7 MiB once its notes'
  // quotation marks are escaped twice, 0.9 MiB printed.
  for (const char* title : {"Big 1", "Big 2", "Big 3"}) {
    Reminder big;
    big.listId = personal_;
    big.title = title;
    big.notes = std::string(400 * 1024, '"') + std::string(100 * 1024, 'x');
    ASSERT_TRUE(data().saveReminder(big));
  }
  const std::pair<json, std::vector<std::string>> cases[] = {
      {json::object(), {"Essay", "Call", "Report", "Groceries", "Big 1", "Big 2"}},
      {{{"completed", false}}, {"Call", "Report", "Groceries", "Big 1", "Big 2"}},
      {{{"completed", true}}, {"Essay"}},
      {{{"completed", "true"}}, {"Essay", "Call", "Report", "Groceries", "Big 1", "Big 2"}},
      {{{"list_name", "WORK"}}, {"Essay", "Call", "Report"}},  // Homework too
      {{{"list_name", "Gym"}}, {}},                            // never widened to every list
      {{{"list_name", "personal"}}, {"Groceries", "Big 1", "Big 2"}},
  };
  for (const auto& [args, expected] : cases) {
    const json reply = call("list_reminders", args);
    EXPECT_EQ(titles(reply), expected) << args;
    EXPECT_EQ(reply["result"]["count"], expected.size()) << args;
  }
  const json cut = call("list_reminders", {{"list_name", "personal"}})["result"];
  EXPECT_EQ(cut["truncated"], true);
  EXPECT_EQ(cut["note"],
            "Only the first 3 of 4 reminders fit in one reply (at most 4 MiB); 1 were left out. "
            "To see them, name a list (list_name) or ask for the completed or the incomplete "
            "ones alone (completed).");
  const json all = call("list_reminders")["result"]["reminders"];
  EXPECT_EQ(all[1]["due_date"], "2024-05-02T07:30:00Z");
  EXPECT_EQ(all[1]["list"], "Work");
  EXPECT_EQ(all[3]["due_date"], "");
  const json lists = call("list_reminder_lists")["result"];
  EXPECT_EQ(lists["count"], 3);
  EXPECT_EQ(lists["lists"][0], (json{{"id", work_}, {"name", "Work"}, {"color", "#00FF00"}}));
}

TEST_F(RemindersServiceTest, CreatePreviewsUntilConfirmedAndKeepsTheDueMinute) {
  EXPECT_EQ(call("create_reminder", {{"title", ""}, {"confirm", true}}),
            failureReply("title is required"));
  EXPECT_EQ(call("create_reminder", {{"title", "Rent"}, {"notes", ""}, {"confirm", "true"}}),
            textReply("Preview — Reminder to be created:\n  Title:    Rent\n  Due date: (none)\n  "
                      "Notes:    \n  List:     (default)\n\nTo confirm, call again with confirm: "
                      "true"));
  for (const char* due : {"next friday", "2024-05-01 10:00", "2024-13-01"}) {
    EXPECT_EQ(call("create_reminder", {{"title", "Rent"}, {"due_date", due}, {"confirm", true}}),
              failureReply(test::invalidDate("due_date", due)));
  }
  EXPECT_EQ(call("list_reminders")["result"]["count"], 4);

  EXPECT_EQ(call("create_reminder", {{"title", "Rent"},
                                     {"due_date", "2024-05-01T10:30:45Z"},
                                     {"list_name", "HOME"},
                                     {"confirm", true}}),
            textReply("Reminder created: Rent"));
  const json homework = call("list_reminders", {{"list_name", "Homework"}})["result"]["reminders"];
  EXPECT_EQ(homework[1]["title"], "Rent");
  EXPECT_EQ(homework[1]["due_date"], "2024-05-01T10:30:00Z");
  EXPECT_EQ(data().reminder(homework[1]["id"].get<std::string>())->dueDateComponents,
            (DateComponents{2024, 5, 1, 12, 30}));  // local time

  // The year is in range as written, but the moment is not once its zone, or the local zone
  // the due date is kept in, is applied.
  struct Row {
    const char* zone;
    const char* due;
    bool created;
  };
  const Row rows[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2261-12-31T23:59:59-12:00", false},
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2261-12-31T23:30:00Z", false},
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2261-12-31T22:59:00Z", true},
      {"EST5", "1700-01-01T00:00:00Z", false},
      {"EST5", "1700-01-01", false},
      {"EST5", "1700-01-01T05:00:00Z", true},
      // A bare date is that day wherever the user is, not the day before west of UTC.
      {"EST5", "2024-05-01", true},
  };
  for (const auto& row : rows) {
    ::setenv("TZ", row.zone, 1);
    ::tzset();
    const json reply =
        call("create_reminder", {{"title", "Edge"}, {"due_date", row.due}, {"confirm", true}});
    EXPECT_EQ(reply, row.created ? textReply("Reminder created: Edge")
                                 : failureReply(test::invalidDate("due_date", row.due)))
        << row.due;
  }
  std::vector<DateComponents> kept;
  const json listed = call("list_reminders");
  for (const auto& reminder : listed["result"]["reminders"]) {
    if (reminder["title"] != "Edge") continue;
    kept.push_back(*data().reminder(reminder["id"].get<std::string>())->dueDateComponents);
  }
  EXPECT_EQ(kept, (std::vector<DateComponents>{
                      {1700, 1, 1, 0, 0}, {2024, 5, 1, 0, 0}, {2261, 12, 31, 23, 59}}));
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();

  // No list matching the name: the default list.
  EXPECT_EQ(
      call("create_reminder", {{"title", "Stretch"}, {"list_name", "Gym"}, {"confirm", true}}),
      textReply("Reminder created: Stretch — list: Work (default; no list matches 'Gym')"));
  EXPECT_EQ(titles(call("list_reminders", {{"list_name", "Work"}})).back(), "Stretch");
}

TEST_F(RemindersServiceTest, CompleteAndDeletePreviewThenFindTheExactIdentifier) {
  EXPECT_EQ(call("complete_reminder", {{"confirm", true}}),
            failureReply("reminder_id is required"));
  EXPECT_EQ(call("complete_reminder", {{"reminder_id", report_}}),
            textReply("Preview — mark reminder '" + report_ +
                      "' complete. Call again with confirm: true"));
  const std::string prefix = report_.substr(0, report_.size() - 1);
  EXPECT_EQ(call("complete_reminder", {{"reminder_id", prefix}, {"confirm", true}}),
            failureReply("Reminder '" + prefix + "' not found"));

  EXPECT_EQ(call("complete_reminder", {{"reminder_id", report_}, {"confirm", true}}),
            textReply("Reminder completed: Report"));
  EXPECT_TRUE(data().reminder(report_)->completionDate);
  EXPECT_EQ(titles(call("list_reminders", {{"completed", true}})),
            (std::vector<std::string>{"Essay", "Report"}));
  EXPECT_EQ(call("delete_reminder", {{"reminder_id", report_}, {"confirm", true}}),
            textReply("Reminder deleted: Report"));
  EXPECT_EQ(data().reminder(report_), std::nullopt);
}

TEST_F(RemindersServiceTest, ThePermissionGateAnswersForEveryState) {
  const json denied = failureReply(
      "Reminders access denied.\n\nOpen the TVRN tray's Permissions section → Reminders "
      "(without the tray: set \"reminders\" to \"granted\" in "
      "~/.config/tavrin/pim/authorization.json) and turn ON the toggle for **Tavrin**.",
      true);
  const json notYet = failureReply(
      "Reminders access hasn't been granted yet. Open the TVRN tray's Permissions section → "
      "Reminders (without the tray: set \"reminders\" to \"granted\" in "
      "~/.config/tavrin/pim/authorization.json), find **Tavrin** and turn its toggle ON.",
      true);
  const struct {
    AuthorizationStatus status;
    std::optional<std::optional<bool>> prompt;  // nothing: none registered
    json reply;                                 // null: the call goes through
  } cases[] = {
      {AuthorizationStatus::denied, std::nullopt, denied},
      {AuthorizationStatus::writeOnly, std::nullopt, denied},
      {AuthorizationStatus::notDetermined, std::optional<bool>(), notYet},  // dismissed
      {AuthorizationStatus::writeOnly, std::optional<bool>(true), nullptr},
  };
  for (const auto& c : cases) {
    for (const auto& [method, args] :
         {std::pair{"list_reminders", json::object()},
          std::pair{"create_reminder", json{{"title", "x"}, {"confirm", true}}}}) {
      // Each call starts from the case's state: a refusal is recorded for the next one.
      EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, c.status));
      gate.setPrompt(c.prompt ? PrivacyGate::Prompt(
                                    [reply = *c.prompt](PrivacyEntity, PrivacyGate::Answer answer) {
                                      answer(reply);
                                    })
                              : PrivacyGate::Prompt());
      const json reply = call(method, args);
      EXPECT_EQ(c.reply.is_null() ? reply["ok"] : reply, c.reply.is_null() ? json(true) : c.reply)
          << method << " " << toRaw(c.status);
    }
  }
}

}  // namespace
}  // namespace tvrn
