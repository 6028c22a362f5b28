#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnv.h"
#include "tools/office/OfficeServices.h"

namespace tvrn {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

std::vector<json> loggedRuns(const std::filesystem::path& log) {
  std::vector<json> runs;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) runs.push_back(json::parse(line));
  return runs;
}

struct PythonCase {
  std::string directive;
  std::string expected;  // the JSON printed, or "failed: " and the error's text
  std::string pip = "fail";
  std::vector<std::string> installs = {};  // each pip run's arguments after "--quiet"
};

// Runs each case through the fake interpreter: the outcome, the pip runs it made, and that the
// script file it was given is gone again.
void runPythonCases(const std::vector<PythonCase>& cases,
                    const OfficeServices::PythonLimits& limits) {
  const auto log = test::home() / "python.log";
  ::setenv(OfficeServices::kPythonVariable, (test::fakesDir() / "fake-python").c_str(), 1);
  ::setenv("FAKE_PYTHON_LOG", log.c_str(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directive);
    std::filesystem::remove(log);
    std::filesystem::remove(log.string() + ".installed");
    ::setenv("FAKE_PIP", c.pip.c_str(), 1);
    const auto result = OfficeServices::runPythonScript("/*fake " + c.directive + " fake*/",
                                                        {"a1", "a 2"}, false, limits);
    EXPECT_EQ(result ? result.value().dump() : "failed: " + result.error().description(),
              c.expected);
    std::vector<std::string> installs;
    for (const auto& run : loggedRuns(log)) {
      const std::string first = run[0];
      if (first == "-m") {
        EXPECT_EQ(json(run.begin(), run.begin() + 4), json({"-m", "pip", "install", "--quiet"}));
        installs.push_back(json(run.begin() + 4, run.end()).dump());
      } else {
        EXPECT_FALSE(std::filesystem::exists(first));
        EXPECT_EQ(run, json({first, "a1", "a 2"}));
      }
    }
    EXPECT_EQ(installs, c.installs);
  }
}

TEST(PythonScriptTest, Outcomes) {
  const std::string missingPptx =
      R"("stderr": "ModuleNotFoundError: No module named 'pptx'", "exit": 1)";
  // The interpreter the module was looked for in is named.
  const std::string tried =
      " (interpreter tried: " + (test::fakesDir() / "fake-python").string() + ")";
  const std::string pptxMissing =
      "failed: Python dependency missing: pptx \u2014 run pip3 install python-pptx" + tried;
  const std::string user = R"(["--user","python-pptx"])";
  const std::string system = R"(["--user","--break-system-packages","python-pptx"])";
  // Budgets a busy machine's slowest fake script still fits in; the hanging cases wait them out.
  OfficeServices::PythonLimits limits;
  limits.run = milliseconds(4000);
  limits.pipInstall = milliseconds(4000);
  runPythonCases(
      {
          {R"({"stdout": "{\"ok\": 1}"})", R"({"ok":1})"},
          {R"({"stdout": "\"text\""})", "failed: Cannot parse Python output: \"text\""},
          {R"({"stdout": "y", "repeat": 300})",
           "failed: Cannot parse Python output: " + std::string(200, 'y')},
          {R"({"stdout": "only out", "exit": 1})", "failed: Python error: only out"},
          {R"({"stdout": "out", "stderr": "boom", "exit": 2})", "failed: Python error: boom"},
          // 200 kB of output, drained while the script runs.
          {R"({"prefix": "[", "stdout": "1,", "repeat": 100000, "suffix": "0]"})",
           json(std::vector<int>(100000, 1)).dump().replace(200000, 1, ",0]")},
          {R"({"delay_ms": 30000})",
           "failed: python3 timed out after 4s \u2014 file may be a cloud placeholder still "
           "downloading"},
          {"{" + missingPptx + R"(, "installed": {"stdout": "[2]"}})", "[2]", "ok", {user}},
          {"{" + missingPptx + R"(, "installed": {"stderr": "No module named 'pptx'", "exit": 1}})",
           "failed: Python error: No module named 'pptx'",
           "ok",
           {user}},
          {"{" + missingPptx + "}", pptxMissing, "fail", {user, system}},
          // A hanging pip uses up the shared budget on its first attempt.
          {"{" + missingPptx + "}", pptxMissing, "hang", {user}},
          {R"({"stderr": "ModuleNotFoundError: No module named 'requests'", "exit": 1})",
           "failed: Python dependency missing: requests \u2014 run pip3 install requests" + tried,
           "ok"},
          {R"({"stderr": "ModuleNotFoundError: something", "exit": 1})",
           "failed: Python dependency missing:  \u2014 run pip3 install " + tried, "ok"},
      },
      limits);

  ::setenv(OfficeServices::kPythonVariable, "/no/such/python3", 1);
  EXPECT_EQ(OfficeServices::runPythonScript("", {}).error().description().rfind(
                "Cannot run python3: ", 0),
            0u);
  ::setenv("TMPDIR", "/no/such/folder", 1);
  EXPECT_EQ(OfficeServices::runPythonScript("", {}).error().description(),
            "Cannot write temp Python script");
}

// A pipe or a device is not a file that may still be downloading: it answers nothing at once and
// leaves no reader behind waiting for a writer.
TEST(HeaderReadTest, OnlyRegularFilesAreRead) {
  const auto fifo = test::home() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto regular = test::home() / "file.bin";
  test::writeFile(regular, "PK\x03\x04rest");
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(regular, 4, 2.0), "PK\x03\x04");
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(regular, 20, 2.0), "PK\x03\x04rest");
  for (const std::filesystem::path& none :
       {test::home() / "none", fifo, std::filesystem::path("/dev/zero"), test::home()}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(none, 4, 10.0), std::nullopt) << none;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (OfficeServices::headerReadersRunning() > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(OfficeServices::headerReadersRunning(), 0);
}

TEST(CloudPlaceholderTest, OnlyCloudFilesThatAreNotLocalAreDownloaded) {
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  const auto log = test::home() / "brctl.log";
  ::setenv("FAKE_BRCTL_LOG", log.c_str(), 1);
  const auto marked = cloud / "marked.docx";
  test::writeFile(marked, "full contents");
  const bool canMark =
      ::setxattr(marked.c_str(), "user.com.apple.fileprovider.ignore#P", "1", 1, 0) == 0;

  struct Case {
    std::filesystem::path file;
    std::string bytes;  // written first, except into `marked`
    bool withClient;
    bool ready;                 // no error comes back
    std::optional<bool> asked;  // the sync client was run (unknown: it may be ended first)
  };
  std::vector<Case> cases = {
      {test::home() / "Documents" / "empty.docx", "", true, true, false},
      {cloud / "local.docx", "full contents", true, true, false},
      {cloud / "empty.docx", "", false, false, false},
      {cloud / "empty-fetched.docx", "", true, true, true},
      // Taken for a placeholder by its short header; the wait only asks for bytes and no marker.
      // The client is ended at the first check, perhaps before it has run.
      {cloud / "three.docx", "abc", true, true, std::nullopt},
  };
  if (canMark) {
    cases.push_back({marked, "", false, false, false});
    cases.push_back({marked, "", true, true, true});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.string());
    if (c.file != marked) test::writeFile(c.file, c.bytes);
    std::filesystem::remove(log);
    if (c.withClient) ::setenv("TVRN_BRCTL", (test::fakesDir() / "fake-brctl").c_str(), 1);
    if (!c.withClient) ::unsetenv("TVRN_BRCTL");
    // A download that comes is waited for generously (a loaded machine starts the client
    // slowly); one that cannot come is given up on quickly.
    const PlaceholderPolling polling = c.withClient ? PlaceholderPolling{milliseconds(20), 500}
                                                    : PlaceholderPolling{milliseconds(20), 5};
    const auto error = OfficeServices::ensureNotCloudPlaceholder(c.file.string(), polling);
    EXPECT_EQ(error ? error->description().substr(0, 27) : "ready",
              c.ready ? "ready" : "This file lives in OneDrive");
    if (c.asked) {
      EXPECT_EQ(test::readFile(log), *c.asked ? json({"download", c.file}).dump() + "\n" : "");
    }
  }
}

}  // namespace
}  // namespace tvrn
