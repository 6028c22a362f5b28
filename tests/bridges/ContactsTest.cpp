#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/LocalData.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"

namespace tvrn {
namespace {

using nlohmann::json;
using Names = std::vector<std::string>;

Names namesIn(const json& records) {
  Names names;
  for (const auto& record : records) names.push_back(record["full_name"]);
  return names;
}

// Home (the default container) holds Ann, Acme, Émile, Carl and Dana (who names no container);
// Work holds Bob and Jo Smith; the Friends are Ann and Bob.
class ContactsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  std::string add(std::string given, std::string family, std::string container = {},
                  std::string organisation = {}) {
    Contact contact;
    contact.givenName = std::move(given);
    contact.familyName = std::move(family);
    contact.containerId = std::move(container);
    contact.organizationName = std::move(organisation);
    return data().saveContact(contact).value().id;
  }

  void SetUp() override {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::contacts, AuthorizationStatus::granted));
    test::startWithoutCollections();
    auto& store = data();
    const auto home = store.saveContainer({"", "Home", ContainerType::local}).value().id;
    const auto work = store.saveContainer({"", "Work", ContainerType::exchange}).value().id;
    EXPECT_TRUE(store.setDefaultContainer(home));
    Contact ann;
    ann.givenName = "Ann";
    ann.familyName = "Zimmer";
    ann.containerId = home;
    ann.emailAddresses = {{"home", "ann@example.com"}};
    ann.phoneNumbers = {{"mobile", "+1 555 0100"}};
    ann.postalAddresses = {{"home", "1 Main St", "Springfield", "IL", "62701", "USA"}};
    ann.birthday = DateComponents{std::nullopt, 3, 7};
    ann_ = store.saveContact(ann).value().id;
    add("", "", home, "Acme Corp");
    add("Émile", "Ångström", home);
    Contact carl;
    carl.givenName = "Carl";
    carl.familyName = "Ray";
    carl.containerId = home;
    carl.birthday = DateComponents{1990, 4, 5};
    EXPECT_TRUE(store.saveContact(carl));
    add("Dana", "Lee");
    const auto bob = add("Bob", "Smith", work);
    add("Jo", "Smith", work);
    EXPECT_TRUE(store.saveGroup({"", "Friends", home, {ann_, bob}}));
  }

  std::string ann_;
};

TEST_F(ContactsTest, ListsAGroupOrTheDefaultContainerUpToTheLimit) {
  const Names home = {"Ann Zimmer", "Acme Corp", "Émile Ångström", "Carl Ray", "Dana Lee"};
  const std::pair<json, Names> cases[] = {
      {json::object(), home},
      {{{"group_name", "FRIEND"}}, {"Ann Zimmer", "Bob Smith"}},
      {{{"group_name", "Xyz"}}, home},
      {{{"group_name", 3}}, home},
      {{{"limit", 2}}, {"Ann Zimmer", "Acme Corp"}},
      {{{"limit", 0}}, {}},
      {{{"limit", -4}}, {}},
      {{{"limit", "2"}}, home},
      {{{"limit", 2.0}}, home},
  };
  for (const auto& [args, names] : cases) {
    const json result = callData("list_contacts", args)["result"];
    EXPECT_EQ(namesIn(result["contacts"]), names) << args;
    EXPECT_EQ(result["count"], names.size()) << args;
  }
  EXPECT_EQ(callData("list_contacts", {{"limit", 2}})["result"]["note"],
            "Only the first 2 of 5 contacts are listed; 3 were left out. To see them, name a "
            "group (group_name) or ask for a higher limit (limit).");
}

TEST_F(ContactsTest, SearchFindsByNameAndAddressOnceInCodePointOrderUpToFifty) {
  add("bea", "Lowe");
  Contact desk;  // a shared mailbox whose name is its address: found both ways, listed once
  desk.organizationName = "help@acme.io";
  desk.emailAddresses = {{"work", "HELP@acme.io"}};
  EXPECT_TRUE(data().saveContact(desk));
  // Three contacts of which one reply holds two: each takes about 1.7 MiB once its street's
  // quotation marks are escaped twice, 0.9 MiB printed.
  for (const char* number : {"1", "2", "3"}) {
    Contact big;
    big.givenName = "Ox";
    big.familyName = number;
    big.postalAddresses = {
        {"work", std::string(400 * 1024, '"') + std::string(100 * 1024, 'x'), "", "", "", ""}};
    ASSERT_TRUE(data().saveContact(big));
  }
  const std::pair<json, Names> cases[] = {
      {{{"query", "e"}},
       {"Acme Corp", "Ann Zimmer", "Dana Lee", "bea Lowe", "help@acme.io", "Émile Ångström"}},
      {{{"query", "e"}, {"limit", 2}}, {"Acme Corp", "Ann Zimmer"}},
      {{{"query", "e"}, {"limit", -1}}, {}},
      {{{"query", "ANN@example.com"}}, {"Ann Zimmer"}},
      {{{"query", "help@acme.io"}}, {"help@acme.io"}},
      {{{"query", "ox"}}, {"Ox 1", "Ox 2"}},
  };
  for (const auto& [args, names] : cases) {
    const json result = callData("search_contacts", args)["result"];
    EXPECT_EQ(namesIn(result["contacts"]), names) << args;
    EXPECT_EQ(result["count"], names.size());
    EXPECT_EQ(result["query"], args["query"]);
  }
  for (const json& args : {json::object(), json{{"query", ""}}, json{{"query", 5}}}) {
    EXPECT_EQ(callData("search_contacts", args),
              json::parse(R"({"ok":false,"error":"query is required"})"));
  }
  const json cut = callData("search_contacts", {{"query", "ox"}})["result"];
  EXPECT_EQ(cut["truncated"], true);
  EXPECT_EQ(cut["note"],
            "Only the first 2 of 3 contacts fit in one reply (at most 4 MiB); 1 were left out. "
            "To see them, search for more of the name or address.");
  for (int i = 0; i < 60; ++i) add("Person", std::to_string(100 + i));
  const json many = callData("search_contacts", {{"query", "person"}})["result"];
  EXPECT_EQ(many["count"], 50);
  EXPECT_EQ(many["contacts"][49]["full_name"], "Person 149");
  EXPECT_EQ(many["note"],
            "Only the first 50 of 60 contacts are listed; 10 were left out. To see them, search "
            "for more of the name or address, or ask for a higher limit (limit).");
}

TEST_F(ContactsTest, GetsByIdOrNameWithEveryMatchWhenSeveral) {
  json ann = json::parse(R"({"full_name": "Ann Zimmer", "first_name": "Ann", "last_name": "Zimmer",
      "company": "", "emails": [{"label": "home", "value": "ann@example.com"}],
      "phones": [{"label": "mobile", "value": "+1 555 0100"}],
      "addresses": [{"label": "home", "street": "1 Main St", "city": "Springfield",
                     "state": "IL", "zip": "62701", "country": "USA"}],
      "birthday": "\u003f\u003f\u003f\u003f-03-07"})");
  ann["id"] = ann_;
  EXPECT_EQ(callData("get_contact", {{"contact_id", ann_}}), (json{{"ok", true}, {"result", ann}}));
  EXPECT_EQ(callData("get_contact", {{"contact_id", ann_}, {"name", "Smith"}})["result"], ann);
  EXPECT_EQ(callData("get_contact", {{"name", "zimm"}})["result"], ann);
  EXPECT_EQ(callData("get_contact", {{"name", "Carl"}})["result"]["birthday"], "1990-04-05");
  EXPECT_EQ(callData("get_contact", {{"name", "Dana"}})["result"]["birthday"], "");

  const json several = callData("get_contact", {{"name", "smith"}})["result"];
  EXPECT_EQ(namesIn(several["matches"]), (Names{"Bob Smith", "Jo Smith"}));
  EXPECT_EQ(several["count"], 2);
  EXPECT_EQ(several["note"],
            "Multiple contacts found — call get_contact with contact_id to get full details for "
            "one.");
  const std::pair<json, std::string> failures[] = {
      {{{"contact_id", "nope"}}, "Contact 'nope' not found"},
      {{{"name", "Quentin"}}, "No contact found matching 'Quentin'"},
      {{{"contact_id", ""}, {"name", 4}}, "Provide contact_id or name"},
  };
  for (const auto& [args, message] : failures) {
    EXPECT_EQ(callData("get_contact", args), (json{{"ok", false}, {"error", message}}));
  }
}

// A dismissed prompt is not put up again in the same start: the later calls are refused without
// asking; the next start asks again.
TEST_F(ContactsTest, AsksForAccessOncePerStartAndRefusesWhenDenied) {
  const json denied = {{"ok", false},
                       {"error",
                        "Contacts — grant access in the TVRN tray's Permissions section → "
                        "Contacts (without the tray: set \"contacts\" to \"granted\" in "
                        "~/.config/tavrin/pim/authorization.json) → enable **Tavrin**."},
                       {"permission", true}};
  const std::pair<std::string, json> calls[] = {{"list_contacts", json::object()},
                                                {"search_contacts", {{"query", "Ann"}}},
                                                {"get_contact", {{"name", "Ann"}}}};
  std::atomic<int> asked = 0;
  std::optional<bool> reply;  // the user dismisses the dialog: still undecided
  const auto start = [&] {
    gate.setPrompt([&](PrivacyEntity, PrivacyGate::Answer answer) {
      ++asked;
      answer(reply);
    });
  };
  start();
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::contacts, AuthorizationStatus::notDetermined));
  for (const auto& [method, args] : calls) EXPECT_EQ(callData(method, args), denied) << method;
  EXPECT_EQ(asked, 1);
  reply = true;
  start();
  EXPECT_EQ(callData("get_contact", {{"name", "Ann"}})["ok"], true);
  EXPECT_EQ(asked, 2);

  for (auto status : {AuthorizationStatus::denied, AuthorizationStatus::restricted}) {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::contacts, status));
    for (const auto& [method, args] : calls) EXPECT_EQ(callData(method, args), denied) << method;
  }
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(callData("probe_contacts_tcc")["result"], json::parse(R"({"contacts":"restricted"})"));
  gate.setPrompt({});
}

}  // namespace
}  // namespace tvrn
