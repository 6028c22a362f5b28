#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/PimFixtures.h"
#include "core/JSONRPC.h"
#include "core/ToolResponse.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A collection folder as another program leaves it: its folder name and, when given, the bytes of
// its "displayname" and "color" files.
struct Folder {
  std::string name;
  std::string displayName;
  std::string color;
};

class ListingRepliesTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    test::startWithoutCollections();
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
  }

  static void write(const Folder& folder) {
    const fs::path at = Paths::home() / "calendars" / "Outlook" / folder.name;
    fs::create_directories(at);
    if (!folder.displayName.empty()) test::writeFile(at / "displayname", folder.displayName);
    if (!folder.color.empty()) test::writeFile(at / "color", folder.color);
  }

  // The reply line a client receives for the call, and the one the result's tree gives when it
  // is printed as a tool's text (the object as a line of the helper protocol carries it).
  std::pair<std::string, std::string> replies(const std::string& method, const json& args) {
    HelperProxy proxy(dispatcher());
    const ToolResult answered = proxy.callArgs(method, args);
    EXPECT_TRUE(answered.ok()) << method;
    if (!answered.ok()) return {};
    const json reply = callData(method, args);
    EXPECT_TRUE(reply.contains("result")) << reply.dump(-1, ' ', false, json::error_handler_t::replace);
    const JSONRPCID id(5);
    return {JSONRPCResponse::result(id, answered.value()),
            JSONRPCResponse::result(id, ToolResponse::printed(reply["result"]))};
  }
};

// The lists and events written straight as text read byte for byte as their tree printed, whatever
// other programs named them; callers that want the object get the tree itself.
TEST_F(ListingRepliesTest, ListingsReadAsTheirTreePrinted) {
  const std::vector<Folder> cases[] = {
      {{"errands", "Errands", ""}, {"work", "Work", "#3366FF\n"}},
      {{"quoted", "Say \"hi\" \\ back / slash", ""}, {"it's \"here\"", "", "garbage"}},
      {{"controls", "tab\there bell\x07 unit\x1f del\x7f", "#ff0000ff"}},
      {{"accents", "Café ☕ 😀 → Überall", ""}, {"latin1", "Caf\xe9 cr\xe8me", ""}},
      {{"Жёлтый", "", ""}, {"long", std::string(300, 'x') + "\"" + std::string(70, 'y'), ""}},
      // Short names, each a character written escaped or of several bytes.
      {{"q", "\"", ""}, {"del", "\x7f", ""}, {"e", "é", ""}, {"bs", "\\\x01", ""}},
      // A folder name that is not UTF-8 and no display name: the printed tree's own answer.
      {{"bad\xff", "", ""}, {"fine", "Fine", ""}},
  };
  for (const auto& folders : cases) {
    fs::remove_all(Paths::home() / "calendars");
    for (const auto& folder : folders) write(folder);
    const auto same = [&](const char* method, const json& args) {
      const auto [line, printed] = replies(method, args);
      EXPECT_EQ(line, printed) << method << " with " << folders.front().name;
      HelperProxy proxy(dispatcher());
      EXPECT_EQ(proxy.callDict(method, args), callData(method, args)["result"]) << method;
    };
    same("todo_list_lists", json::object());
    same("list_calendar_names", json::object());
    // An event in each calendar, its texts and an attendee's named after the calendar.
    for (const auto& calendar : data().calendars(EntityType::event)) {
      Event event = test::eventIn(calendar.id, calendar.title, "2030-01-08", "2030-01-09");
      event.allDay = true;
      event.location = calendar.title + "\n\\";
      event.attendees = {{calendar.title, "MAILTO:" + calendar.title, ParticipantRole::chair,
                          ParticipantStatus::tentative, true}};
      static_cast<void>(data().saveEvent(event));
    }
    EXPECT_EQ(data().events(test::at("2030-01-07"), test::at("2030-01-14")).size(),
              data().calendars(EntityType::event).size());
    same("list_calendar_events", {{"start_date", "2030-01-07"}, {"end_date", "2030-01-14"}});
  }
}

}  // namespace
}  // namespace tvrn
