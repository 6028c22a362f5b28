#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "core/ConfigManager.h"
#include "core/DateFormat.h"
#include "core/ToolRegistry.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "support/TestEnv.h"
#include "tools/contacts/ContactsTools.h"
#include "tools/todo/ToDoTools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono;
using Titles = std::vector<std::string>;

json text(std::string_view words) { return {{"ok", true}, {"text", words}}; }
json failure(std::string_view message) { return {{"ok", false}, {"error", message}}; }

void useTimeZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

Titles titlesIn(const json& tasks) {
  Titles titles;
  for (const auto& task : tasks) titles.push_back(task["title"]);
  return titles;
}

class ToDoTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    useTimeZone("UTC");
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
    test::startWithoutCollections();
  }

  std::string addList(std::string title, std::optional<CalendarSource> source) {
    Calendar list;
    list.title = std::move(title);
    list.entityType = EntityType::reminder;
    list.source = std::move(source);
    return data().saveCalendar(list).value().id;
  }

  std::string addTask(const std::string& listId, std::string title,
                      std::optional<DateComponents> due = {}, bool completed = false) {
    Reminder task;
    task.listId = listId;
    task.title = std::move(title);
    task.dueDateComponents = due;
    task.completed = completed;
    return data().saveReminder(task).value().id;
  }

  std::optional<Reminder> stored(const std::string& title) {
    for (auto& task : data().reminders()) {
      if (task.title == title) return task;
    }
    return std::nullopt;
  }

  // Tasks (an Outlook account), Groceries (no account) and Work Projects (an account without a
  // name), with open, dated, undated and completed tasks.
  void seed() {
    tasks_ = addList("Tasks", CalendarSource{"Outlook", SourceType::exchange});
    groceries_ = addList("Groceries", std::nullopt);
    work_ = addList("Work Projects", CalendarSource{"", SourceType::calDAV});
    Reminder rent;
    rent.listId = tasks_;
    rent.title = "Pay rent";
    rent.dueDateComponents = DateComponents{2024, 6, 1, 23, 30};
    rent.notes = "by transfer";
    rent.priority = 1;
    rentId_ = data().saveReminder(rent).value().id;
    addTask(tasks_, "Call mum");
    oldId_ = addTask(tasks_, "Old thing", DateComponents{2024, 1, 1}, true);
    addTask(work_, "Draft report", DateComponents{2024, 5, 20});
    addTask(work_, "Review", DateComponents{2024, 5, 20});
  }

  std::string tasks_, groceries_, work_, rentId_, oldId_;
};

TEST_F(ToDoTest, ListsTaskListsWithTheirAccounts) {
  EXPECT_EQ(callData("todo_list_lists"),
            text("No task lists found. To use Microsoft To Do:\n"
                 "1. Open System Settings → Internet Accounts\n"
                 "2. Add your Microsoft account (Microsoft Exchange or Outlook.com)\n"
                 "3. Enable Reminders for that account\n"
                 "4. Open Microsoft To Do — your lists will sync automatically."));
  seed();
  const json lists = {
      {{"id", tasks_}, {"name", "Tasks"}, {"account", "calendars"}, {"type", "local"}},
      {{"id", groceries_}, {"name", "Groceries"}, {"account", "calendars"}, {"type", "local"}},
      {{"id", work_}, {"name", "Work Projects"}, {"account", "calendars"}, {"type", "local"}}};
  const json result = callData("todo_list_lists")["result"];
  EXPECT_EQ(result["lists"], lists);
  EXPECT_EQ(result["count"], 3);
  EXPECT_EQ(result["note"],
            "Lists from Microsoft To Do appear once your Microsoft account is connected in System "
            "Settings → Internet Accounts.");

  EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::denied));
  const json denied = {{"ok", false}, {"error", "Reminders access denied."}, {"permission", true}};
  EXPECT_EQ(callData("todo_list_lists"), denied);
  EXPECT_EQ(callData("todo_list_tasks"), denied);
  EXPECT_EQ(callData("todo_create_task", {{"title", "x"}, {"confirm", true}}), denied);
  EXPECT_EQ(callData("todo_complete_task", {{"title", "x"}, {"confirm", true}}), denied);
}

TEST_F(ToDoTest, ListsOpenTasksByDueDateWithTheLimit) {
  seed();
  // Three done tasks of which one reply holds two: each takes about 1.7 MiB once its notes'
  // quotation marks are escaped twice, 0.9 MiB printed.
  for (const char* title : {"Big 1", "Big 2", "Big 3"}) {
    Reminder big;
    big.listId = groceries_;
    big.title = title;
    big.completed = true;
    big.notes = std::string(400 * 1024, '"') + std::string(100 * 1024, 'x');
    ASSERT_TRUE(data().saveReminder(big));
  }
  const Titles open = {"Draft report", "Review", "Pay rent", "Call mum"};
  const std::pair<json, Titles> cases[] = {
      {json::object(), open},
      {{{"include_completed", true}},
       {"Old thing", "Draft report", "Review", "Pay rent", "Call mum", "Big 1", "Big 2"}},
      {{{"include_completed", true}, {"list", "grocer"}}, {"Big 1", "Big 2"}},
      {{{"include_completed", "yes"}}, open},
      {{{"list", "WORK"}}, {"Draft report", "Review"}},
      {{{"list", "task"}}, {"Pay rent", "Call mum"}},
      {{{"limit", 1}}, {"Draft report"}},
      {{{"limit", 0}}, {}},
      {{{"limit", -2}}, {}},
      {{{"limit", "1"}}, open},
  };
  for (const auto& [args, titles] : cases) {
    const json result = callData("todo_list_tasks", args)["result"];
    EXPECT_EQ(titlesIn(result["tasks"]), titles) << args;
    EXPECT_EQ(result["count"], titles.size());
  }
  // A listing cut at its limit says how many it left out and how to see them.
  EXPECT_EQ(callData("todo_list_tasks", {{"limit", 1}})["result"]["note"],
            "Only the first 1 of 4 tasks are listed; 3 were left out. To see them, name a list "
            "(list) or ask for a higher limit (limit).");
  EXPECT_FALSE(callData("todo_list_tasks", {{"limit", 4}})["result"].contains("note"));
  const json cut =
      callData("todo_list_tasks", {{"include_completed", true}, {"list", "grocer"}})["result"];
  EXPECT_EQ(cut["truncated"], true);
  EXPECT_EQ(cut["note"],
            "Only the first 2 of 3 tasks fit in one reply (at most 4 MiB); 1 were left out. To "
            "see them, name a list (list).");
  const json tasks = callData("todo_list_tasks", {{"list", "Tasks"}})["result"]["tasks"];
  EXPECT_EQ(tasks[0], (json{{"id", rentId_},
                            {"title", "Pay rent"},
                            {"completed", false},
                            {"list", "Tasks"},
                            {"due", "2024-06-01"},
                            {"notes", "by transfer"},
                            {"priority", 1}}));
  EXPECT_EQ(tasks[1].size(), 4u) << tasks[1];  // no due date, notes or priority
  EXPECT_EQ(callData("todo_list_tasks", {{"list", "Home"}}),
            failure("List 'Home' not found. Available: Tasks, Groceries, Work Projects"));
}

TEST_F(ToDoTest, DueDaysAreTheLocalCalendarDay) {
  const std::tuple<const char*, system_clock::time_point, std::string> cases[] = {
      {"Asia/Tokyo", sys_days{2024y / May / 31} + 20h, "2024-06-01"},
      {"America/New_York", sys_days{2024y / June / 1} + 2h, "2024-05-31"},
      {"UTC", sys_days{1970y / January / 1} - 500ms, "1969-12-31"}};
  for (const auto& [zone, date, day] : cases) {
    useTimeZone(zone);
    EXPECT_EQ(iso8601Date(date), day) << zone;
  }
}

TEST_F(ToDoTest, CreatesAfterAPreviewDueAtNineLocalTime) {
  seed();
  const std::string notes(60, 'n');
  EXPECT_EQ(callData("todo_create_task", {{"title", "Buy milk"}}),
            text("Preview — create task 'Buy milk'. Call again with confirm: true to create."));
  EXPECT_EQ(callData("todo_create_task", {{"title", "Buy milk"},
                                          {"list", "groc"},
                                          {"due_date", "soon"},
                                          {"notes", notes},
                                          {"confirm", "true"}}),
            text("Preview — create task 'Buy milk' in 'groc', due soon, notes: " +
                 notes.substr(0, 50) + ". Call again with confirm: true to create."));
  EXPECT_FALSE(stored("Buy milk"));

  const std::tuple<const char*, json, std::string, DateComponents> cases[] = {
      {"UTC", {{"list", "groc"}, {"due_date", "2024-05-01"}}, "Groceries", {2024, 5, 1, 9, 0}},
      // A bare date is the day written, even where its UTC midnight is the evening before.
      {"America/New_York", {{"due_date", "2024-05-01"}}, "Tasks", {2024, 5, 1, 9, 0}},
      {"Asia/Tokyo", {{"due_date", "2024-05-01T22:15:00Z"}}, "Tasks", {2024, 5, 2, 9, 0}},
      {"UTC", {{"due_date", "2024-05-01T22:15:00"}, {"priority", -3}}, "Tasks", {2024, 5, 1, 9, 0}},
  };
  for (const auto& [zone, given, list, due] : cases) {
    useTimeZone(zone);
    const std::string title = std::string("Task in ") + zone + " " + given.dump();
    json args = given;
    args.update({{"title", title}, {"confirm", true}, {"notes", "fresh"}});
    EXPECT_EQ(callData("todo_create_task", args),
              text("Task '" + title + "' created in '" + list +
                   "'. It will sync to Microsoft To Do automatically."));
    const auto task = stored(title);
    ASSERT_TRUE(task) << title;
    EXPECT_EQ(task->dueDateComponents, due) << title;
    EXPECT_EQ(task->listTitle, list);
    EXPECT_EQ(task->notes, "fresh");
    EXPECT_EQ(task->priority, 0);
  }
  EXPECT_TRUE(data().setDefaultCalendar(EntityType::reminder, work_));
  callData("todo_create_task", {{"title", "Ship it"}, {"priority", 5}, {"confirm", true}});
  EXPECT_EQ(stored("Ship it")->listTitle, "Work Projects");
  EXPECT_EQ(stored("Ship it")->priority, 5);
}

std::string invalidDue(const std::string& text) { return test::invalidDate("due_date", text); }

TEST_F(ToDoTest, RefusesToCreateWhatItCannotPlace) {
  EXPECT_EQ(callData("todo_create_task", {{"title", "A"}, {"confirm", true}}),
            failure("No Reminders lists found. Connect your Microsoft account in System Settings "
                    "→ Internet Accounts."));
  seed();
  const size_t before = data().reminders().size();
  const std::pair<json, std::string> cases[] = {
      {{{"title", ""}}, "title is required"},
      {{{"title", "A"}, {"list", "Home"}},
       "List 'Home' not found. Run todo_list_lists to see available lists."},
      {{{"title", "A"}, {"due_date", "next week"}}, invalidDue("next week")},
      {{{"title", "A"}, {"due_date", "2024-05-01 10:00"}}, invalidDue("2024-05-01 10:00")},
      {{{"title", "A"}, {"due_date", "2024/05/01"}}, invalidDue("2024/05/01")},
      {{{"title", "A"}, {"due_date", "2026-13-40"}}, invalidDue("2026-13-40")},
  };
  for (auto [args, message] : cases) {
    args["confirm"] = true;
    EXPECT_EQ(callData("todo_create_task", args), failure(message)) << args;
  }
  EXPECT_EQ(data().reminders().size(), before);
}

TEST_F(ToDoTest, CompletesByIdOrByTitleAfterAPreview) {
  seed();
  EXPECT_EQ(callData("todo_complete_task", {{"task_id", "abc"}, {"title", "rent"}}),
            text("Preview — complete task abc. Call again with confirm: true."));
  EXPECT_EQ(callData("todo_complete_task", {{"title", "rent"}, {"confirm", 1}}),
            text("Preview — complete task 'rent'. Call again with confirm: true."));
  EXPECT_EQ(callData("todo_complete_task"), failure("task_id or title is required"));
  EXPECT_FALSE(stored("Pay rent")->completed);

  const std::pair<json, std::string> cases[] = {
      {{{"title", "thing"}}, ""},  // only a completed task has it: nothing found
      {{{"title", "R"}, {"list", "work"}}, "Draft report"},
      {{{"title", "r"}}, "Pay rent"},
      {{{"title", "r"}, {"list", "Nowhere"}}, ""},
      {{{"task_id", oldId_}, {"title", "Review"}}, "Old thing"},
  };
  for (auto [args, done] : cases) {
    args["confirm"] = true;
    const auto before = system_clock::now() - 1s;
    EXPECT_EQ(callData("todo_complete_task", args),
              done.empty() ? failure("Task not found. Run todo_list_tasks to see available tasks.")
                           : text("Task '" + done +
                                  "' marked as complete. It will sync to Microsoft To Do "
                                  "automatically."))
        << args;
    if (done.empty()) continue;
    EXPECT_TRUE(stored(done)->completed);
    EXPECT_GE(stored(done)->completionDate.value_or(system_clock::time_point{}), before);
  }
  EXPECT_EQ(titlesIn(callData("todo_list_tasks")["result"]["tasks"]),
            (Titles{"Review", "Call mum"}));
}

// A task two lists hold (a list imported twice) is completed by neither when only its UID is
// given: the reply names each by its own identifier, as completing a reminder does.
TEST_F(ToDoTest, AnIdentifierThatFitsTwoTasksCompletesNeitherAndNamesThem) {
  seed();
  const std::string task =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:VTODO\r\nUID:twice\r\n"
      "DTSTAMP:20240101T000000Z\r\nSUMMARY:Imported\r\nEND:VTODO\r\nEND:VCALENDAR\r\n";
  const std::filesystem::path in[] = {tasks_, work_};
  for (const auto& folder : in) {
    test::writeItem(folder, "twice.ics", task);
    data().reminders();  // seen one after the other: the candidates are named in that order
  }
  const std::string first = "twice#" + in[0].filename().string();
  const std::string second = "twice#" + in[1].filename().string();

  EXPECT_EQ(callData("todo_complete_task", {{"task_id", "twice"}, {"confirm", true}}),
            failure("Failed to complete task: The identifier 'twice' fits 2 reminders: " + first +
                    " in the list \"Tasks\", " + second +
                    " in the list \"Work Projects\". Use the identifier of the one you mean."));
  for (const auto& folder : in) EXPECT_EQ(test::readFile(folder / "twice.ics"), task);
  EXPECT_EQ(callData("todo_complete_task", {{"task_id", second}, {"confirm", true}}),
            text("Task 'Imported' marked as complete. It will sync to Microsoft To Do "
                 "automatically."));
  EXPECT_EQ(test::readFile(in[0] / "twice.ics"), task);
  EXPECT_NE(test::readFile(in[1] / "twice.ics"), task);
}

TEST_F(ToDoTest, ToolsPreviewWritesForwardTheRestAndOnlyReadersStayInReadOnlyMode) {
  seed();
  HelperProxy helper(dispatcher());
  ToolRegistry registry;
  ContactsTools::registerTools(registry, helper);
  ToDoTools::registerTools(registry, helper);
  const std::tuple<std::string, ToolKind, json> schemas[] = {
      {"list_contacts", ToolKind::readOnly, json::array()},
      {"search_contacts", ToolKind::readOnly, {"query"}},
      {"get_contact", ToolKind::readOnly, {"contact_id"}},
      {"todo_list_lists", ToolKind::readOnly, json::array()},
      {"todo_list_tasks", ToolKind::readOnly, json::array()},
      {"todo_create_task", ToolKind::write, {"title"}},
      {"todo_complete_task", ToolKind::write, json::array()},
  };
  for (const auto& [name, kind, required] : schemas) {
    const auto tool = registry.tool(name);
    ASSERT_TRUE(tool) << name;
    EXPECT_EQ(tool->kind, kind) << name;
    EXPECT_EQ(tool->inputSchema["required"], required) << name;
  }
  EXPECT_EQ(
      registry.tool("todo_create_task")->inputSchema["properties"]["priority"],
      (json{{"type", "integer"}, {"description", "Priority: 1=high, 5=medium, 9=low (optional)"}}));

  auto run = [&](const std::string& name, const json& args) {
    const auto result = registry.dispatch(name, JSONValue::fromRaw(args));
    return result.ok() ? result.value().rawValue()["content"][0]["text"].get<std::string>()
                       : result.error().description();
  };
  const std::tuple<std::string, json, std::string> calls[] = {
      {"todo_create_task", json::object(),
       "Preview — create task '(no title)' in 'default list'. Call again with confirm: true to "
       "create."},
      {"todo_complete_task",
       {{"title", "rent"}, {"task_id", "t1"}},
       "Preview — mark task 'rent' as complete. Call again with confirm: true to apply."},
      {"todo_complete_task",
       {{"title", ""}, {"task_id", "t1"}},
       "Preview — mark task 't1' as complete. Call again with confirm: true to apply."},
      {"todo_complete_task", json::object(),
       "Preview — mark task '?' as complete. Call again with confirm: true to apply."},
      {"todo_create_task",
       {{"title", "Post"}, {"list", "groc"}, {"confirm", true}},
       "Task 'Post' created in 'Groceries'. It will sync to Microsoft To Do automatically."},
      {"todo_complete_task",
       {{"title", "post"}, {"confirm", true}},
       "Task 'Post' marked as complete. It will sync to Microsoft To Do automatically."},
  };
  for (const auto& [name, args, reply] : calls) EXPECT_EQ(run(name, args), reply) << args;
  EXPECT_EQ(json::parse(run("todo_list_tasks", {{"list", "work"}, {"limit", 1}})),
            callData("todo_list_tasks", {{"list", "work"}, {"limit", 1}})["result"]);

  test::writeFile(ConfigManager::shared().configPath(), R"({"read_only": true})");
  Titles listed;
  const json payload = registry.listPayload().rawValue();
  for (const auto& tool : payload["tools"]) listed.push_back(tool["name"]);
  EXPECT_EQ(listed, (Titles{"get_contact", "list_contacts", "search_contacts", "todo_list_lists",
                            "todo_list_tasks"}));
}

}  // namespace
}  // namespace tvrn
