#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "pim/PimDocument.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/DamagedCopies.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Root reads any file: while it lives, this thread goes without the capabilities that let it, so
// a file without permissions is as unreadable as it is to the user.
class WithoutReadOverride {
 public:
  WithoutReadOverride() { set(false); }
  ~WithoutReadOverride() { set(true); }

 private:
  static void set(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
      auto& set = data[capability / 32];
      const unsigned bit = 1u << (capability % 32);
      set.effective = on ? set.effective | (set.permitted & bit) : set.effective & ~bit;
    }
    ::syscall(SYS_capset, &header, data);
  }
};

// Every entry under the folder as it stands, nothing opened but regular files: a file's mode and
// bytes, a link's target, any other entry's mode and type.
// A folder the user may not open is passed over, as it is by the user.
std::map<std::string, std::string> standing(const fs::path& root) {
  std::map<std::string, std::string> found;
  for (const auto& entry :
       fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied)) {
    const auto status = entry.symlink_status();
    std::string what = std::to_string(static_cast<int>(status.permissions())) + " ";
    if (fs::is_symlink(status)) {
      what += "-> " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_regular_file(status)) {
      what += test::readFile(entry.path());
    } else {
      what += std::to_string(static_cast<int>(status.type()));
    }
    found[entry.path().string()] = what;
  }
  return found;
}

std::string calendarFile(const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Old Exporter//EN\r\nBEGIN:VEVENT\r\nUID:" +
         uid + "\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20240503T090000Z\r\n" +
         "DTEND:20240503T100000Z\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string taskFile(const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Old Exporter//EN\r\nBEGIN:VTODO\r\nUID:" +
         uid + "\r\nDTSTAMP:20240101T000000Z\r\n" + lines + "END:VTODO\r\nEND:VCALENDAR\r\n";
}

std::set<std::string> valuesOf(const json& reply, const char* list, const char* key) {
  std::set<std::string> values;
  for (const auto& record : reply["result"][list]) values.insert(record[key].get<std::string>());
  return values;
}

bool includes(const std::set<std::string>& all, const std::set<std::string>& part) {
  return std::includes(all.begin(), all.end(), part.begin(), part.end());
}

// Entries of the personal-data folders that cannot be used (missing rights, a folder in a file's
// place, pipes, devices, damage, text in an older code page) against the calls that read them.
class LocalDataUnreadableTest : public ::testing::Test, protected test::PimWorld {
 protected:
  LocalDataUnreadableTest()
      : PimWorld([this](const std::string& line) { warnings_.push_back(line); }) {}

  void SetUp() override {
    for (auto entity :
         {PrivacyEntity::calendar, PrivacyEntity::reminders, PrivacyEntity::contacts}) {
      EXPECT_TRUE(gate.setStatus(entity, AuthorizationStatus::granted));
    }
    test::startWithoutCollections();
    PimStore& store = data();
    home_ = store.saveCalendar(test::calendarNamed("Home")).value().id;
    changed_ = store
                   .saveEvent(test::eventIn(home_, "Dentist", "2024-05-01T09:00:00Z",
                                            "2024-05-01T10:00:00Z"))
                   .value()
                   .id;
    removed_ =
        store
            .saveEvent(test::eventIn(home_, "Call", "2024-05-02T09:00:00Z", "2024-05-02T10:00:00Z"))
            .value()
            .id;
    inbox_ = store.saveCalendar(test::calendarNamed("Inbox", EntityType::reminder)).value().id;
    Reminder reminder;
    reminder.listId = inbox_;
    for (auto [title, id] : {std::pair{"Milk", &milk_}, {"Bread", &bread_}, {"Eggs", &eggs_}}) {
      reminder.title = title;
      *id = store.saveReminder(reminder).value().id;
    }
    book_ = store.saveContainer({"", "Home", ContainerType::local}).value().id;
    Contact ann;
    ann.givenName = "Ann";
    ann.containerId = book_;
    ann_ = store.saveContact(ann).value().id;
    friends_ = store.saveGroup({"", "Friends", book_, {ann_}}).value().id;
  }

  // How many warnings name the entry.
  long timesNamed(const fs::path& entry) const {
    return std::count_if(warnings_.begin(), warnings_.end(), [&](const std::string& line) {
      return line.find(entry.string() + " ") != std::string::npos;
    });
  }

  std::string home_, inbox_, book_, changed_, removed_, milk_, bread_, eggs_, ann_, friends_;
  std::vector<std::string> warnings_;
};

// A call about one item fails only for that item's own file, naming it and changing nothing; a
// file in its folder that cannot be read is another item's and fails no call (listings: below).
TEST_F(LocalDataUnreadableTest, OnlyAnItemsOwnFileThatCannotBeReadFailsACallAboutIt) {
  struct Case {
    const char* method;
    json args;
    fs::path file;        // a folder in its place during the call: there, and unreadable
    const char* failure;  // nullptr: the call answers as usual
  };
  const fs::path home = home_, inbox = inbox_, book = book_;
  const json update = {{"event_id", changed_}, {"title", "Dentist (moved)"}, {"confirm", true}};
  const json remove = {{"event_id", removed_}, {"confirm", true}};
  const json complete = {{"reminder_id", milk_}, {"confirm", true}};
  const json drop = {{"reminder_id", bread_}, {"confirm", true}};
  const json ann = {{"contact_id", ann_}};
  const std::vector<Case> cases = {
      {"update_calendar_event", update, home / (changed_ + ".ics"), "Cannot update event: "},
      {"delete_calendar_event", remove, home / (removed_ + ".ics"), "Cannot delete event: "},
      {"complete_reminder", complete, inbox / (milk_ + ".ics"), "Cannot complete reminder: "},
      {"delete_reminder", drop, inbox / (bread_ + ".ics"), "Cannot delete reminder: "},
      {"get_contact", ann, book / (ann_ + ".vcf"), "Cannot get contact: "},
      {"update_calendar_event", update, home / (removed_ + ".ics"), nullptr},
      {"delete_calendar_event", remove, home / (changed_ + ".ics"), nullptr},
      {"complete_reminder", complete, inbox / (bread_ + ".ics"), nullptr},
      {"delete_reminder", drop, inbox / (eggs_ + ".ics"), nullptr},
      {"todo_complete_task",
       {{"title", "Eggs"}, {"confirm", true}},
       inbox / (milk_ + ".ics"),
       nullptr},
      {"get_contact", ann, book / (friends_ + ".vcf"), nullptr},
      {"list_contacts", {{"group_name", "Friends"}}, book / "displayname", nullptr},
  };
  const auto everything = [] {
    return std::pair{standing(Paths::home() / "calendars"), standing(Paths::home() / "contacts")};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.args.dump() + " without " + c.file.string());
    const auto before = everything();
    fs::rename(c.file, c.file.parent_path() / "kept");
    test::writeFile(c.file / "inside", "x");
    const json reply = callData(c.method, c.args);
    fs::remove_all(c.file);
    fs::rename(c.file.parent_path() / "kept", c.file);
    if (c.failure == nullptr) {
      EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
      continue;
    }
    const std::string expected = c.failure + c.file.string() + " could not be read: ";
    EXPECT_EQ(reply.value("error", "").substr(0, expected.size()), expected) << reply.dump();
    EXPECT_EQ(everything(), before);
  }
  EXPECT_EQ(data().event(changed_)->title, "Dentist (moved)");
  EXPECT_FALSE(data().event(removed_));
  EXPECT_TRUE(data().reminder(milk_)->completed);
  EXPECT_FALSE(data().reminder(bread_));
  EXPECT_TRUE(data().reminder(eggs_)->completed);
}

// What synced folders, old exporters and damaged disks leave beside good items: every listing
// answers with all the good items, each bad entry is named once in the log, and nothing changes.
TEST_F(LocalDataUnreadableTest, NothingAFolderHoldsHangsOrEmptiesAListing) {
  const fs::path calendars = Paths::home() / "calendars", contacts = Paths::home() / "contacts";
  const fs::path home = home_, inbox = inbox_, book = book_, odd = calendars / "odd";
  test::writeFile(odd / "odd.ics", calendarFile("odd", "SUMMARY:Odd event\r\n"));

  // What the case locks is opened again when it ends, however it ends.
  struct Unlock {
    std::vector<fs::path> paths;
    ~Unlock() {
      for (const auto& path : paths) ::chmod(path.c_str(), fs::is_directory(path) ? 0700 : 0600);
    }
  } unlock;
  enum How { pipe, link, folder, file, locked, socket };
  const auto make = [&unlock](const fs::path& at, How how, const std::string& what) {
    switch (how) {
      case pipe:
        ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
        break;
      case link:
        fs::create_symlink(what, at);
        break;
      case folder:
        fs::create_directories(at / what);
        break;
      case file:
      case locked:
        test::writeFile(at, what);
        if (how == locked) {
          unlock.paths.push_back(at);
          fs::permissions(at, fs::perms::none);
        }
        break;
      case socket: {
        const fs::path was = fs::current_path();
        fs::current_path(at.parent_path());  // a socket's path must be short
        sockaddr_un address{AF_UNIX, {}};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", at.filename().c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        fs::current_path(was);
      }
    }
  };
  const std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c\r\nFN:C\r\nEND:VCARD\r\n";
  const std::string attached =
      "ATTACH;ENCODING=BASE64;VALUE=BINARY:" + std::string(kMaxItemBytes, 'A') + "\r\n";
  struct Bad {
    fs::path path;
    How how;
    std::string what;   // a link's target, a file's bytes
    bool named = true;  // false: not an item, a collection or its metadata, so passed over
  };
  const std::vector<Bad> bad = {
      {home / "pipe.ics", pipe, ""},
      {book / "pipe.vcf", pipe, ""},
      {inbox / "zero.ics", link, "/dev/zero"},
      {book / "zero.vcf", link, "/dev/zero"},
      {home / "folder.ics", folder, "inside"},
      {inbox / "dangling.ics", link, "nowhere.ics"},
      {book / "dangling.vcf", link, "nowhere.vcf"},
      {home / "loop.ics", link, "loop.ics"},
      {home / "socket.ics", socket, ""},
      {home / "locked.ics", locked, calendarFile("locked", "SUMMARY:Locked\r\n")},
      {book / "locked.vcf", locked, card},
      {home / "huge.ics", file, calendarFile("huge", attached)},
      {inbox / "garbage.ics", file, "not a calendar at all"},
      {book / "garbage.vcf", file, "not a card at all"},
      {odd / "displayname", pipe, ""},
      {odd / "color", link, "/dev/zero"},
      {odd / "tavrin-kind", folder, "inside"},
      {calendars / "locked", folder, ""},
      {calendars / "caf\xE9", folder, ""},
      {calendars / "loop", link, "loop", false},
      {calendars / "pipe", pipe, "", false},
      {contacts / "zero", link, "/dev/zero", false},
  };
  // Good items where the folder cannot be read and where its name cannot be sent.
  test::writeFile(calendars / "locked" / "hidden.ics",
                  calendarFile("hidden", "SUMMARY:Hidden\r\n"));
  test::writeFile(calendars / "caf\xE9" / "cafe.ics", calendarFile("cafe", "SUMMARY:Caf\xE9\r\n"));
  for (const auto& entry : bad) make(entry.path, entry.how, entry.what);
  unlock.paths.push_back(calendars / "locked");
  fs::permissions(calendars / "locked", fs::perms::none);
  std::vector<fs::path> flipped;
  const std::string flip = calendarFile("flip", "SUMMARY:Flip\r\nLOCATION:Z\xC3\xBCrich\r\n");
  for (auto copy : test::damagedCopies(flip)) {
    char name[32];
    std::snprintf(name, sizeof name, "flip-%04zu.ics", flipped.size());
    if (const auto uid = copy.find("UID:flip\r\n"); uid != std::string::npos) {
      copy.insert(uid + 8, name + 4, 5);  // a UID of its own: "flip-0001"
    }
    flipped.push_back(calendars / "flipped" / name);
    test::writeFile(flipped.back(), copy);
  }
  const auto before = std::pair{standing(calendars), standing(contacts)};

  struct Listing {
    const char* method;
    json args;
    const char* list;
    const char* key;
    std::set<std::string> good;
  };
  const std::vector<Listing> listings = {
      {"list_calendar_names", json::object(), "calendars", "title", {"Home", "odd"}},
      {"list_calendar_events",
       {{"start_date", "2024-04-29"}, {"end_date", "2024-05-06"}, {"max_results", 10000}},
       "events",
       "title",
       {"Dentist", "Call", "Odd event"}},
      {"list_reminders", json::object(), "reminders", "title", {"Milk", "Bread", "Eggs"}},
      {"list_reminder_lists", json::object(), "lists", "name", {"Inbox"}},
      {"todo_list_tasks", json::object(), "tasks", "title", {"Milk", "Bread", "Eggs"}},
      {"list_contacts", json::object(), "contacts", "first_name", {"Ann"}},
      {"search_contacts", {{"query", "Ann"}}, "contacts", "first_name", {"Ann"}},
  };
  size_t said = 0;
  for (int round = 0; round < 2; ++round) {
    WithoutReadOverride asTheUser;
    for (const auto& listing : listings) {
      SCOPED_TRACE(std::string(listing.method) + " in round " + std::to_string(round));
      const json reply = callData(listing.method, listing.args);
      ASSERT_EQ(reply.value("ok", false), true)
          << reply.dump(-1, ' ', false, json::error_handler_t::replace);
      EXPECT_NO_THROW(reply.dump());  // all of it UTF-8
      EXPECT_PRED2(includes, valuesOf(reply, listing.list, listing.key), listing.good)
          << reply.dump();
    }
    if (round == 1) {
      EXPECT_EQ(warnings_.size(), said) << "said again";
    }
    said = warnings_.size();
  }
  for (const auto& entry : bad) {
    EXPECT_EQ(timesNamed(entry.path), entry.named ? 1 : 0) << entry.path;
  }
  for (const auto& copy : flipped) EXPECT_LE(timesNamed(copy), 1) << copy;
  EXPECT_EQ(std::pair(standing(calendars), standing(contacts)), before);
}

// Older exporters wrote titles in their own code page: read as cp1252, else Latin-1, line by line
// (the UTF-8 lines beside them stay as they are), and written back as UTF-8.
TEST_F(LocalDataUnreadableTest, TextInAnOlderCodePageIsListedAndWrittenBackAsUtf8) {
  const fs::path home = home_, inbox = inbox_;
  struct Case {
    fs::path file;
    std::string bytes;
    std::string title;
  };
  const Case cases[] = {
      {home / "latin.ics", calendarFile("latin", "SUMMARY:Caf\xE9 M\xFCller\r\n"), "Café Müller"},
      {home / "euro.ics", calendarFile("euro", "SUMMARY:5 \x80 each\r\n"), "5 € each"},
      {inbox / "resume.ics", taskFile("resume", "SUMMARY:R\xE9sum\xE9\r\n"), "Résumé"},
      // 0x81 has no character in cp1252.
      {inbox / "control.ics", taskFile("control", "SUMMARY:\x81\xE9t\xE9\r\n"),
       "\xC2\x81"
       "été"},
  };
  for (const auto& c : cases) {
    std::string bytes = c.bytes;
    bytes.insert(bytes.find("END:V"), "LOCATION:Z\xC3\xBCrich\r\nDESCRIPTION:Z\xC3\xBCrich\r\n");
    test::writeFile(c.file, bytes);
  }
  const json events =
      callData("list_calendar_events", {{"start_date", "2024-05-03"}, {"end_date", "2024-05-04"}});
  const json reminders = callData("list_reminders");
  for (const auto& c : cases) {
    const json& listed = c.file.parent_path() == home ? events["result"]["events"]
                                                      : reminders["result"]["reminders"];
    const auto found = std::find_if(listed.begin(), listed.end(),
                                    [&](const json& record) { return record["title"] == c.title; });
    ASSERT_NE(found, listed.end())
        << c.title << " in " << listed.dump(-1, ' ', false, json::error_handler_t::replace);
    EXPECT_EQ((*found)["notes"], "Zürich");
  }

  const json moved = callData("update_calendar_event",
                              {{"event_id", "latin"}, {"location", "Bern"}, {"confirm", true}});
  EXPECT_EQ(moved.value("ok", false), true) << moved.dump();
  const json done = callData("complete_reminder", {{"reminder_id", "resume"}, {"confirm", true}});
  EXPECT_EQ(done.value("ok", false), true) << done.dump();
  for (const auto& [file, title] : {std::pair{home / "latin.ics", "SUMMARY:Café Müller"},
                                    std::pair{inbox / "resume.ics", "SUMMARY:Résumé"}}) {
    const std::string written = test::readFile(file);
    EXPECT_TRUE(Utf8::isValid(written)) << written;
    EXPECT_NE(written.find(title), std::string::npos) << written;
  }
}

}  // namespace
}  // namespace tvrn
