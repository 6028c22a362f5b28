// Zoned repeating events changed through the calendar methods and read back by khal, and synced
// through a real CalDAV server with vdirsyncer. Each test needs the real programs and is skipped
// without them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridges/LocalDataReply.h"
#include "bridges/OtherPrograms.h"
#include "bridges/PimFixtures.h"
#include "pim/PrivacyGate.h"
#include "platform/Subprocess.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono;

using test::run;

// "2024-03-04 09:00" in the process's zone.
std::string localText(PimTime time) {
  const time_t s = system_clock::to_time_t(time);
  std::tm local{};
  ::localtime_r(&s, &local);
  char out[32];
  std::strftime(out, sizeof out, "%Y-%m-%d %H:%M", &local);
  return out;
}

class CalendarInteropTest : public ::testing::Test, protected test::PimWorld {
 protected:
  json call(const std::string& method, json args) const {
    args["confirm"] = true;
    return callData(method, args);
  }

 protected:
  void SetUp() override {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
    test::writeFile(Paths::appSupport() / "config.json",
                    json{{"calendar_folders", {root.string()}}}.dump());
    fs::create_directories(root / "work");
  }
  void TearDown() override { useZone("UTC"); }

  static void useZone(const std::string& zone) {
    ::setenv("TZ", zone.c_str(), 1);
    ::tzset();
  }

  void configureKhal(const std::string& zone) const {
    test::writeFile(test::home() / ".config" / "khal" / "config",
                    "[calendars]\n[[work]]\npath = " + (root / "work").string() +
                        "\ntype = calendar\n[default]\ndefault_calendar = work\n"
                        "[locale]\nlocal_timezone = " +
                        zone + "\ndefault_timezone = " + zone +
                        "\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                        "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                        "longdatetimeformat = %Y-%m-%d %H:%M\n");
  }

  // What our methods list for a year from March: local start and title, in order.
  std::vector<json> listed() const {
    const json reply =
        call("list_calendar_events", {{"start_date", "2024-03-01"}, {"end_date", "2025-03-01"}});
    EXPECT_EQ(reply["ok"], true) << reply;
    return reply.value("result", json::object()).value("events", std::vector<json>{});
  }
  std::vector<std::string> ours() const {
    std::vector<std::string> lines;
    for (const auto& e : listed()) {
      lines.push_back(localText(test::at(e["start"])) + " " + e["title"].get<std::string>());
    }
    return lines;
  }
  // The same range as khal lists it.
  std::vector<std::string> khals(const std::string& khal) const {
    fs::remove(test::home() / ".local" / "share" / "khal" / "khal.db");  // its cache
    const std::string out = run({khal, "list", "--day-format", "", "--format", "{start} {title}",
                                 "2024-03-01", "2025-02-28"});
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < out.size()) {
      const size_t end = std::min(out.find('\n', at), out.size());
      if (end > at) lines.push_back(out.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }
  // The id of the occurrence that starts on `day` (local).
  std::string on(const std::string& day) const {
    for (const auto& e : listed()) {
      if (localText(test::at(e["start"])).rfind(day, 0) == 0) return e["id"];
    }
    return {};
  }

  const fs::path root = test::home() / "calendars";
};

// A weekly series as khal writes it, in a zone east and one west of UTC, across both changes of
// offset: moved, thinned twice (a hand-written exception kept), one occurrence changed, and
// renamed from its third occurrence on. khal lists exactly what we list, at the same wall clock,
// for a whole year, although the VTIMEZONE khal wrote ends with the change of offset after the
// start.
TEST_F(CalendarInteropTest, KhalListsWhatOurChangesToAZonedSeriesLeave) {
  NEED(khal, "khal");
  for (const std::string zone : {"Europe/Berlin", "America/New_York"}) {
    SCOPED_TRACE(zone);
    useZone(zone);
    configureKhal(zone);
    fs::remove_all(root / "work");
    fs::create_directories(root / "work");
    run({khal, "new", "-a", "work", "2024-03-04", "09:00", "10:00", "Weekly", "-r", "weekly"});
    fs::path file;
    for (const auto& entry : fs::directory_iterator(root / "work")) file = entry.path();
    std::string text = test::readFile(file);
    ASSERT_NE(text.find("DTSTART;TZID=" + zone), std::string::npos) << text;
    ASSERT_NE(text.find("BEGIN:VTIMEZONE"), std::string::npos) << text;
    const auto unchanged = ours();
    EXPECT_EQ(unchanged, khals(khal));
    EXPECT_EQ(unchanged.size(), 52u);
    for (const auto& line : unchanged) EXPECT_EQ(line.substr(11, 5), "09:00") << line;

    json first = listed().at(0);
    json moved = call("update_calendar_event",
                      {{"event_id", first["id"]},
                       {"start_date", LocalData::iso8601(test::at(first["start"]) + hours(1))},
                       {"end_date", LocalData::iso8601(test::at(first["end"]) + hours(1))},
                       {"span", "future"}});
    ASSERT_EQ(moved["ok"], true) << moved;
    text = test::readFile(file);
    text.insert(text.find("END:VEVENT"), "EXDATE;TZID=" + zone + ":20240311T100000\r\n");
    test::writeFile(file, text);
    for (const char* day : {"2024-04-15", "2024-11-18"}) {
      const std::string id = on(day);
      ASSERT_EQ(call("delete_calendar_event", {{"event_id", id}})["ok"], true) << day;
      EXPECT_EQ(call("delete_calendar_event", {{"event_id", id}}),
                test::failureReply("Event '" + id + "' not found"));
    }
    const std::string once = on("2024-05-06");
    const PimTime onceStart = test::at(listed().at(8)["start"]);  // May 6
    json changed =
        call("update_calendar_event", {{"event_id", once},
                                       {"title", "Once"},
                                       {"start_date", LocalData::iso8601(onceStart + hours(2))},
                                       {"end_date", LocalData::iso8601(onceStart + hours(3))}});
    ASSERT_EQ(changed["result"]["title"], "Once") << changed;
    json third = call("update_calendar_event",
                      {{"event_id", on("2024-03-25")}, {"title", "Renamed"}, {"span", "future"}});
    ASSERT_EQ(third["result"]["title"], "Renamed") << third;

    const auto lines = ours();
    EXPECT_EQ(lines, khals(khal));
    ASSERT_GE(lines.size(), 40u);
    EXPECT_EQ(lines[0], "2024-03-04 10:00 Weekly");
    EXPECT_EQ(lines[1], "2024-03-18 10:00 Weekly");
    EXPECT_EQ(lines[2], "2024-03-25 10:00 Renamed");
    for (const auto& line : lines) {
      for (const char* gone : {"2024-03-11", "2024-04-15", "2024-11-18"}) {
        EXPECT_NE(line.rfind(gone, 0), 0u) << line;
      }
      // The same wall clock all year.
      EXPECT_EQ(line.substr(11, 5), line.find("Once") != line.npos ? "12:00" : "10:00") << line;
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find(" Once") != l.npos; }),
              1);
  }
}

bool accepting(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return up;
}

// Our changes reach a CalDAV server through vdirsyncer, and the server's reach us.
TEST_F(CalendarInteropTest, AZonedSeriesMakesTheRoundTripThroughACalDAVServer) {
  NEED(radicale, "radicale");
  NEED(vdirsyncer, "vdirsyncer");
  useZone("Europe/Berlin");
  const int port = test::unusedPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  auto server = Subprocess::start(
      SpawnOptions({radicale, "--server-hosts", "127.0.0.1:" + std::to_string(port), "--auth-type",
                    "none", "--storage-filesystem-folder", (test::home() / "radicale").string()}));
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_TRUE(test::eventually([&] { return accepting(port); }, "radicale accepting"));
  const fs::path config = test::home() / "vdirsyncer.conf";
  test::writeFile(config, "[general]\nstatus_path = \"" + (test::home() / "status").string() +
                              "/\"\n[pair cal]\na = \"mine\"\nb = \"server\"\n"
                              "collections = [\"from a\", \"from b\"]\n"
                              "conflict_resolution = \"a wins\"\n"
                              "[storage mine]\ntype = \"filesystem\"\npath = \"" +
                              root.string() +
                              "/\"\nfileext = \".ics\"\n[storage server]\ntype = \"caldav\"\n"
                              "url = \"" +
                              url + "\"\nusername = \"me\"\npassword = \"x\"\n");
  const auto sync = [&] {
    run({vdirsyncer, "-c", config.string(), "discover", "cal"}, "y\ny\ny\ny\n");
    run({vdirsyncer, "-c", config.string(), "sync"});
  };
  const auto onServer = [&] {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(test::home() / "radicale")) {
      if (entry.path().extension() == ".ics") all += test::readFile(entry.path());
    }
    return all;
  };

  json created = call("create_calendar_event", {{"title", "Weekly"},
                                                {"start_date", "2024-03-18T08:00:00Z"},
                                                {"end_date", "2024-03-18T09:00:00Z"}});
  ASSERT_EQ(created["ok"], true) << created;
  // Made zoned and repeating as a calendar program would, then moved and thinned by us.
  fs::path file;
  for (const auto& entry : fs::directory_iterator(root / "work")) {
    if (entry.path().extension() == ".ics") file = entry.path();
  }
  std::string text = test::readFile(file);
  const size_t from = text.find("DTSTART");
  text.replace(from, text.find("\n", text.find("DTEND")) + 1 - from,
               "DTSTART;TZID=Europe/Berlin:20240318T090000\r\n"
               "DTEND;TZID=Europe/Berlin:20240318T100000\r\nRRULE:FREQ=WEEKLY;COUNT=10\r\n");
  test::writeFile(file, text);
  const std::string series = created["result"]["id"];
  ASSERT_EQ(call("update_calendar_event", {{"event_id", series},
                                           {"start_date", "2024-03-18T09:00:00Z"},
                                           {"end_date", "2024-03-18T10:00:00Z"},
                                           {"span", "future"}})["ok"],
            true);
  ASSERT_EQ(call("delete_calendar_event", {{"event_id", on("2024-04-08")}})["ok"], true);
  sync();
  const std::string there = onServer();
  for (const char* line :
       {"DTSTART;TZID=Europe/Berlin:20240318T100000", "RRULE:FREQ=WEEKLY;COUNT=10",
        "EXDATE;TZID=Europe/Berlin:20240408T100000"}) {
    EXPECT_NE(there.find(line), std::string::npos) << line << "\n" << there;
  }

  // A change made on the server side is seen by our methods after the next sync.
  for (const auto& entry : fs::recursive_directory_iterator(test::home() / "radicale")) {
    std::string theirs = test::readFile(entry.path());
    const size_t summary = theirs.find("SUMMARY:Weekly");
    if (entry.path().extension() != ".ics" || summary == std::string::npos) continue;
    theirs.replace(summary, 14, "SUMMARY:Retro");
    test::writeFile(entry.path(), theirs);
  }
  fs::remove_all(test::home() / "radicale" / ".Radicale.cache");
  sync();
  const auto lines = ours();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "2024-03-18 10:00 Retro");
  EXPECT_EQ(lines[3], "2024-04-15 10:00 Retro");
  server.value()->terminate();
}

}  // namespace
}  // namespace tvrn
