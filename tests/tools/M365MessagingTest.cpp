#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/M365Contacts.h"
#include "tools/M365Fixture.h"
#include "tools/M365Mail.h"

namespace tvrn {
namespace {

using nlohmann::json;

const std::string kMailFields = "$select=id,subject,from,receivedDateTime,bodyPreview,isRead";
const std::string kContactFields =
    "$select=id,displayName,givenName,surname,emailAddresses,mobilePhone,businessPhones,jobTitle,"
    "companyName";

TEST_F(M365ToolsTest, EachCallSendsOneRequestWithItsArgumentsEscaped) {
  struct Case {
    std::string tool;
    json arguments;
    std::string method;
    std::string target;
    json body;  // null: no body is checked
  };
  const std::vector<Case> cases = {
      {"m365_list_emails",
       json::object(),
       "GET",
       "/v1.0/me/mailFolders/inbox/messages?" + kMailFields +
           "&$top=20&$orderby=receivedDateTime%20desc",
       {}},
      {"m365_list_emails",
       {{"folder", ""}, {"limit", 80}, {"unread_only", true}},
       "GET",
       "/v1.0/me/mailFolders/inbox/messages?" + kMailFields +
           "&$top=50&$orderby=receivedDateTime%20desc&$filter=isRead%20eq%20false",
       {}},
      {"m365_list_emails",
       {{"folder", "inbox/../../users"}, {"limit", "30"}, {"unread_only", "true"}},
       "GET",
       "/v1.0/me/mailFolders/inbox%2F..%2F..%2Fusers/messages?" + kMailFields +
           "&$top=20&$orderby=receivedDateTime%20desc",
       {}},
      {"m365_read_email",
       {{"id", "a/b?c#d%e f"}},
       "GET",
       "/v1.0/me/messages/a%2Fb%3Fc%23d%25e%20f?$select=id,subject,from,toRecipients,"
       "ccRecipients,receivedDateTime,body,isRead",
       {}},
      {"m365_reply_email",
       {{"id", ".."}, {"message", "ok"}, {"reply_all", true}, {"confirm", true}},
       "POST",
       "/v1.0/me/messages/%2E%2E/replyAll",
       {{"comment", "ok"}}},
      {"m365_reply_email",
       {{"id", "m 1"}, {"message", "ok"}, {"reply_all", "true"}, {"confirm", true}},
       "POST",
       "/v1.0/me/messages/m%201/reply",
       {{"comment", "ok"}}},
      {"m365_send_email",
       {{"to", "a@x,  b@x,,\t, "}, {"subject", "S"}, {"body", "B"}, {"confirm", true}},
       "POST",
       "/v1.0/me/sendMail",
       {{"message",
         {{"subject", "S"},
          {"body", {{"contentType", "Text"}, {"content", "B"}}},
          {"toRecipients",
           {{{"emailAddress", {{"address", "a@x"}}}}, {{"emailAddress", {{"address", "b@x"}}}}}}}},
        {"saveToSentItems", true}}},
      {"m365_search_emails",
       {{"query", R"(a&b=c+"d\)"}},
       "GET",
       "/v1.0/me/messages?$search=%22a%26b%3Dc%2B%5C%22d%5C%5C%22&" + kMailFields + "&$top=20",
       {}},
      {"m365_delete_event",
       {{"id", "e/1 x"}, {"confirm", true}},
       "DELETE",
       "/v1.0/me/events/e%2F1%20x",
       {}},
      {"m365_create_event",
       {{"subject", "S"},
        {"start", "2026-05-20T10:00:00"},
        {"end", "2026-05-20T11:00:00"},
        {"location", ""},
        {"attendees", "a@x, b@x"}},
       "POST",
       "/v1.0/me/events",
       {{"subject", "S"},
        {"start", {{"dateTime", "2026-05-20T10:00:00"}, {"timeZone", "UTC"}}},
        {"end", {{"dateTime", "2026-05-20T11:00:00"}, {"timeZone", "UTC"}}},
        {"attendees",
         {{{"emailAddress", {{"address", "a@x"}}}, {"type", "required"}},
          {{"emailAddress", {{"address", "b@x"}}}, {"type", "required"}}}}}},
      {"m365_list_contacts",
       {{"limit", 500}},
       "GET",
       "/v1.0/me/contacts?" + kContactFields + "&$top=100&$orderby=displayName",
       {}},
      {"m365_search_contacts",
       {{"query", "O'Neil & \"Co\""}},
       "GET",
       "/v1.0/me/contacts?$search=%22O%27Neil%20%26%20%5C%22Co%5C%22%22&" + kContactFields +
           "&$top=25",
       {}},
      {"m365_get_contact", {{"id", "c#1?"}}, "GET", "/v1.0/me/contacts/c%231%3F", {}},
      {"teams_send_channel_message",
       {{"team_id", "t/1"}, {"channel_id", "19:c?d"}, {"text", "hé"}, {"confirm", "TRUE"}},
       "POST",
       "/v1.0/teams/t%2F1/channels/19%3Ac%3Fd/messages",
       {{"body", {{"content", "hé"}, {"contentType", "text"}}}}},
  };
  signIn(3600);
  for (const auto& [tool, arguments, method, target, body] : cases) {
    const auto before = graph.requestCount();
    call(tool, arguments);
    ASSERT_EQ(graph.requestCount(), before + 1) << tool << arguments;
    const auto request = graph.requests().back();
    EXPECT_EQ(request.method, method) << tool;
    EXPECT_EQ(request.target, target) << tool << arguments;
    EXPECT_EQ(request.header("Authorization"), "Bearer A0");
    EXPECT_EQ(request.header("ConsistencyLevel"), tool == "m365_search_contacts" ? "eventual" : "");
    if (!body.is_null()) {
      EXPECT_EQ(request.json(), body) << tool;
    }
  }
}

TEST_F(M365ToolsTest, UnconfirmedActionsAnswerAPreviewWithoutARequestEvenSignedOut) {
  const std::string preview = "Preview (call again with confirm=true to send):\n\n";
  const std::vector<std::pair<std::pair<std::string, json>, std::string>> cases = {
      {{"m365_send_email", {{"to", "a@x, b@x"}, {"subject", "S"}, {"body", "B"}, {"cc", "c@x"}}},
       preview + "To: a@x, b@x\nCC: c@x\nSubject: S\n\nB"},
      {{"m365_send_email", {{"to", "a@x"}, {"subject", "S"}, {"body", "B"}, {"confirm", "true"}}},
       preview + "To: a@x\nSubject: S\n\nB"},
      {{"m365_reply_email", {{"id", "m1"}, {"message", "Thanks"}, {"confirm", 1}}},
       preview + "Thanks"},
      {{"m365_delete_event", {{"id", "e1"}, {"confirm", "true"}}},
       "Deletion not confirmed. Set confirm=true to delete event 'e1'."},
      {{"teams_send_channel_message",
        {{"team_id", "t"}, {"channel_id", "c"}, {"text", "hi"}, {"confirm", 0}}},
       "Preview: post \"hi\" to channel c in team t. Set confirm=true to send."},
      {{"m365_send_email", {{"to", "a@x"}, {"subject", " \t"}, {"body", "B"}}},
       "Error: Invalid 'subject': expected non-empty string"},
      {{"m365_send_email", {{"to", "a@x"}, {"subject", "S"}, {"body", "B"}, {"confirm", true}}},
       "Error: Not connected to Microsoft 365. Use connect_m365_account first."},
  };
  for (const auto& [toolCall, text] : cases) {
    EXPECT_EQ(call(toolCall.first, toolCall.second), text) << toolCall.second;
  }
  EXPECT_EQ(graph.requestCount(), 0u);
}

TEST_F(M365ToolsTest, SentMessagesReportWhatWasAskedFor) {
  signIn(3600);
  graph.respond("/v1.0/me/sendMail", canned(202, ""));
  EXPECT_EQ(call("m365_send_email",
                 {{"to", "a@x,  b@x"}, {"subject", "S"}, {"body", "B"}, {"confirm", true}}),
            "Email sent to a@x,  b@x.");
  graph.respond("/v1.0/me/messages/m1/reply", answer({{"error", {{"message", "Gone."}}}}, 404));
  EXPECT_EQ(call("m365_reply_email", {{"id", "m1"}, {"message", "x"}, {"confirm", true}}),
            "Error: Gone.");
  const std::string channel = "/v1.0/teams/t/channels/c/messages";
  const json post = {{"team_id", "t"}, {"channel_id", "c"}, {"text", "hi"}, {"confirm", 1}};
  graph.respond(channel, canned(201, "not json"));
  EXPECT_EQ(call("teams_send_channel_message", post), "Message sent to channel");
  graph.respond(channel, answer({{"id", "m7"}}, 201));
  EXPECT_EQ(call("teams_send_channel_message", post), "Message sent to channel (id: m7)");
}

TEST_F(M365ToolsTest, MessagesBecomeListAndSearchBlocks) {
  std::string accented;  // 100 characters of two code points each, cut at 80 whole characters
  for (int i = 0; i < 100; ++i) accented += "e\u0301";
  struct Record {
    json message;
    std::string listBlock;
    std::string searchBlock;
  };
  const std::vector<Record> records = {
      {{{"id", "1"},
        {"subject", "Plan"},
        {"isRead", false},
        {"receivedDateTime", "2025-03-04T09:15:00Z"},
        {"from", {{"emailAddress", {{"name", "Ana"}, {"address", "a@x"}}}}},
        {"bodyPreview", accented}},
       "● [2025-03-04] Plan\n  From: Ana\n  " + accented.substr(0, 240) + "\n  ID: 1",
       "[2025-03-04] Plan\n  From: Ana\n  ID: 1"},
      {{{"id", "2"}, {"subject", 5}, {"from", {{"emailAddress", {{"address", "b@x"}}}}}},
       "  [] (no subject)\n  From: b@x\n  \n  ID: 2",
       "[] (no subject)\n  From: b@x\n  ID: 2"},
      {{{"isRead", true}, {"subject", ""}, {"from", "c@x"}},
       "  [] \n  From: \n  \n  ID: ",
       "[] \n  From: \n  ID: "},
  };
  json messages = json::array();
  std::string listed = "Found 3 email(s):\n\n", found = "Found 3 email(s) for 'q':\n\n";
  for (std::size_t i = 0; i < records.size(); ++i) {
    messages.push_back(records[i].message);
    listed += (i ? "\n\n" : "") + records[i].listBlock;
    found += (i ? "\n\n" : "") + records[i].searchBlock;
  }
  signIn(3600);
  graph.respond("/v1.0/me/mailFolders/inbox/messages", answer({{"value", messages}}));
  graph.respond("/v1.0/me/messages", answer({{"value", messages}}));
  EXPECT_EQ(call("m365_list_emails"), listed);
  EXPECT_EQ(call("m365_search_emails", {{"query", "q"}}), found);

  graph.respond("/v1.0/me/messages", answer({{"value", json::array()}}));
  EXPECT_EQ(call("m365_search_emails", {{"query", "q"}}), "No emails found for 'q'.");
  graph.respond("/v1.0/me/mailFolders/inbox/messages", answer({{"value", {{{"id", 1}}, 2}}}));
  EXPECT_EQ(call("m365_list_emails"), "Error: Unexpected response from Microsoft Graph");
}

TEST_F(M365ToolsTest, ReadEmailShowsTheBodyWithoutTags) {
  signIn(3600);
  const std::string path = "/v1.0/me/messages/m1";
  graph.respond(path, answer({{"subject", "Hi"},
                              {"from", {{"emailAddress", {{"name", "Ana"}, {"address", "a@x"}}}}},
                              {"toRecipients",
                               {{{"emailAddress", {{"address", "b@x"}}}},
                                {{"emailAddress", json::object()}},
                                {{"emailAddress", {{"address", "c@x"}}}}}},
                              {"receivedDateTime", "2025-03-04T09:15:00Z"},
                              {"body", {{"content", "<p>Fish &amp; chips</p>\r\n"}}}}));
  EXPECT_EQ(call("m365_read_email", {{"id", "m1"}}),
            "Subject: Hi\nFrom: Ana <a@x>\nTo: b@x, c@x\nDate: 2025-03-04 09:15:00\n\n"
            "Fish &amp; chips");
  const std::vector<std::pair<json, std::string>> answers = {
      {{{"error", {{"message", "Mailbox moved"}}}}, "Error: Mailbox moved"},
      {{{"error", json::object()}}, "Error: Error reading email"},
      {json::array(), "Error: Unexpected response"},
      {json::object(), "Subject: (no subject)\nFrom:  <>\nTo: \nDate: \n\n"},
  };
  for (const auto& [body, text] : answers) {
    graph.respond(path, answer(body));
    EXPECT_EQ(call("m365_read_email", {{"id", "m1"}}), text) << body;
  }

  const std::vector<std::pair<std::string, std::string>> bodies = {
      {" \n<div class=\"a\">\n x </div>\u00a0", "x"},
      {"a <> b <c\nd> e", "a <> b  e"},
      {"x<<y>z", "xz"},
      {"1 < 2, 3 > 2", "1  2"},
      {"tail <b", "tail <b"},
  };
  for (const auto& [html, text] : bodies) EXPECT_EQ(M365Tools::plainBodyText(html), text) << html;
}

TEST_F(M365ToolsTest, CalendarNamesPickTheCalendarAndTheWindowFollowsTheClock) {
  signIn(3600);
  graph.respond("/v1.0/me/calendars", answer({{"value",
                                               {{{"id", "c/1"}, {"name", "Team Work"}},
                                                {{"id", "c2"}, {"name", "Work"}},
                                                {{"id", "c3"}}}}}));
  graph.respond("/v1.0/me/calendars/c/1/events",
                answer({{"value",
                         {{{"id", "e1"},
                           {"subject", "Standup"},
                           {"start", {{"dateTime", "2027-01-16T09:15:00.0000000"}}},
                           {"end", {{"dateTime", "2027-01-16T09:30:00.0000000"}}},
                           {"location", {{"displayName", "Room 4"}}},
                           {"organizer", {{"emailAddress", {{"name", "Ana"}}}}}},
                          {{"id", "e2"}, {"location", {{"displayName", ""}}}}}}}));
  EXPECT_EQ(call("m365_list_events", {{"calendar", "WORK"}}),
            "Found 2 event(s) in the next 7 day(s) in 'WORK':\n\nStandup\n  2027-01-16 09:15 → "
            "2027-01-16 09:30\n  Location: Room 4\n  Organizer: Ana\n  ID: e1\n\n(no subject)\n"
            "   → \n  ID: e2");
  const auto requests = graph.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/v1.0/me/calendars?$select=id,name&$top=50");
  EXPECT_EQ(requests[1].target,
            "/v1.0/me/calendars/c%2F1/events?$select=id,subject,start,end,location,organizer,"
            "bodyPreview&$orderby=start/dateTime&$top=20&$filter=start/dateTime+ge+'2027-01-15T08:"
            "00:00Z'+and+start/dateTime+le+'2027-01-22T08:00:00Z'");

  EXPECT_EQ(call("m365_list_events", {{"calendar", "home"}}),
            "Error: No M365 calendar matching 'home' found. Available: Team Work, Work.");
  EXPECT_EQ(call("m365_create_event", {{"subject", "S"},
                                       {"start", "2027-02-01T10:00:00"},
                                       {"end", "2027-02-01T11:00:00"},
                                       {"timezone", "Europe/Berlin"},
                                       {"calendar", "work"}}),
            "Event created: 'S' on 2027-02-01T10:00:00 in 'work'.\nID: ");
  EXPECT_EQ(graph.requests().back().target, "/v1.0/me/calendars/c%2F1/events");
  EXPECT_EQ(graph.requests().back().json()["end"]["timeZone"], "Europe/Berlin");

  graph.respond("/v1.0/me/events", answer({{"value", json::array()}}));
  EXPECT_EQ(call("m365_list_events", {{"days", 45}}), "No events in the next 30 day(s).");
  EXPECT_NE(graph.requests().back().target.find("le+'2027-02-14T08:00:00Z'"), std::string::npos);
  graph.respond("/v1.0/me/calendars", answer({{"value", 1}}));
  EXPECT_EQ(call("m365_list_events", {{"calendar", "x"}}),
            "Error: Unexpected response listing calendars");

  graph.respond("/v1.0/me/events/gone", canned(404, ""));
  EXPECT_EQ(call("m365_delete_event", {{"id", "gone"}, {"confirm", true}}),
            "Error: Event not found.");
  EXPECT_EQ(call("m365_delete_event", {{"id", "e1"}, {"confirm", true}}), "Event deleted.");
}

TEST_F(M365ToolsTest, ContactsBecomeCards) {
  const std::vector<std::pair<json, std::string>> cards = {
      {{{"displayName", "Ana"},
        {"jobTitle", "CTO"},
        {"companyName", "Contoso"},
        {"emailAddresses", {{{"address", "a@x"}}, {{"name", "n"}}, {{"address", "b@x"}}}},
        {"mobilePhone", "+1"},
        {"businessPhones", {"2", 3, "4"}},
        {"id", "c1"}},
       "Ana\nCTO @ Contoso\nEmail: a@x, b@x\nMobile: +1\nPhone: 2, 4\nID: c1"},
      {{{"companyName", "Fabrikam"}, {"emailAddresses", {{{"name", "n"}}}}}, "\nFabrikam"},
      {{{"displayName", "Bo"}, {"jobTitle", "Dev"}, {"businessPhones", "5"}, {"id", ""}},
       "Bo\nDev"},
  };
  for (const auto& [contact, card] : cards) {
    EXPECT_EQ(M365Tools::formatM365Contact(contact), card) << contact;
  }

  signIn(3600);
  graph.respond(
      "/v1.0/me/contacts/c1",
      answer({{"displayName", "Ana"},
              {"id", "c1"},
              {"personalNotes", "Met at the fair"},
              {"homeAddress", {{"city", "Oslo"}, {"postalCode", "0150"}}},
              {"businessAddress", {{"street", "1 Main St"}, {"countryOrRegion", "NO"}}}}));
  EXPECT_EQ(call("m365_get_contact", {{"id", "c1"}}),
            "Ana\nID: c1\n\nNotes:\nMet at the fair\nHome: Oslo\nOffice: 1 Main St, NO");
  graph.respond("/v1.0/me/contacts",
                answer({{"value", {{{"displayName", "Ana"}}, {{"displayName", "Bo"}}}}}));
  EXPECT_EQ(call("m365_list_contacts"), "2 contact(s):\n\nAna\n\nBo");
  EXPECT_EQ(call("m365_search_contacts", {{"query", "a"}}), "2 contact(s) for \"a\":\n\nAna\n\nBo");
  graph.respond("/v1.0/me/contacts", answer({{"value", json::array()}}));
  EXPECT_EQ(call("m365_search_contacts", {{"query", "zed"}}), "No contacts found for \"zed\".");
  EXPECT_EQ(call("m365_list_contacts"), "No contacts found in your M365 address book.");
  graph.respond("/v1.0/me/contacts/c1", canned(200, "[]"));
  EXPECT_EQ(call("m365_get_contact", {{"id", "c1"}}), "Error: Unexpected response from Graph");
}

}  // namespace
}  // namespace tvrn
