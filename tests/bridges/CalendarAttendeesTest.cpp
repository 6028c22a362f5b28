// An event another program wrote with invitees, as the listing shows it: each attendee's name,
// address, role and answer, and no attendees key on an event without any.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::string icsEvent(const std::string& uid, const std::string& attendeeLines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
         "\r\nSUMMARY:" + uid + "\r\nDTSTART:20240501T090000Z\r\nDTEND:20240501T100000Z\r\n" +
         attendeeLines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

class CalendarAttendeesTest : public ::testing::Test, protected test::PimWorld {};

TEST_F(CalendarAttendeesTest, ListingShowsEachAttendeeAsWritten) {
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
  test::startWithoutCollections();
  const std::string work = data().saveCalendar(test::calendarNamed("Work")).value().id;
  test::writeItem(
      work, "planning.ics",
      icsEvent("planning",
               "ORGANIZER;CN=Ann:mailto:ann@example.com\r\n"
               "ATTENDEE;CN=Ann;ROLE=CHAIR;PARTSTAT=ACCEPTED:mailto:ann@example.com\r\n"
               "ATTENDEE;CN=\"Zimmer, Bo\";ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION:"
               "mailto:bo@example.com\r\n"
               "ATTENDEE;ROLE=OPT-PARTICIPANT;PARTSTAT=TENTATIVE:MAILTO:cy@example.com\r\n"
               "ATTENDEE;CN=Room 4;ROLE=NON-PARTICIPANT;PARTSTAT=DECLINED:"
               "urn:uuid:room-4\r\n"
               "ATTENDEE;PARTSTAT=DELEGATED:mailto:di@example.com\r\n"));
  test::writeItem(work, "alone.ics", icsEvent("alone", ""));

  const json reply =
      callData("list_calendar_events", {{"start_date", "2024-05-01"}, {"end_date", "2024-05-02"}});
  ASSERT_EQ(reply["result"]["events"].size(), 2u) << reply.dump();
  json planning, alone;
  for (const auto& event : reply["result"]["events"]) {
    (event["title"] == "planning" ? planning : alone) = event;
  }
  EXPECT_FALSE(alone.contains("attendees"));
  const json expected = json::parse(R"([
    {"name": "Ann", "email": "ann@example.com", "role": "chair", "status": "accepted"},
    {"name": "Zimmer, Bo", "email": "bo@example.com", "role": "required",
     "status": "not_responded"},
    {"name": "", "email": "cy@example.com", "role": "optional", "status": "tentative"},
    {"name": "Room 4", "email": "urn:uuid:room-4", "role": "non_participant",
     "status": "declined"},
    {"name": "", "email": "di@example.com", "role": "unknown", "status": "delegated"}
  ])");
  EXPECT_EQ(planning["attendees"], expected);
}

}  // namespace
}  // namespace tvrn
