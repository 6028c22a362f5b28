#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnv.h"
#include "tools/OfficeServices.h"

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

class PythonScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv(OfficeServices::kPythonVariable, (test::fakesDir() / "fake-python").c_str(), 1);
    ::setenv("FAKE_PYTHON_LOG", log_.c_str(), 1);
  }

  // The outcome as text: the JSON printed, or "error: " and the error's text.
  std::string run(const std::string& directive, const OfficeServices::PythonLimits& limits = {}) {
    const auto result = OfficeServices::runPythonScript("/*fake " + directive + " fake*/",
                                                        {"a1", "a 2"}, false, limits);
    return result ? result.value().dump() : "error: " + result.error().description();
  }

  // The pip runs recorded, each as its arguments after the interpreter.
  std::vector<json> pipRuns() {
    std::vector<json> runs;
    for (const auto& run : loggedRuns(log_)) {
      if (run[0] == "-m") runs.push_back(run);
    }
    return runs;
  }

  // Every script the fake was given is gone again.
  void expectScriptsRemoved() {
    for (const auto& run : loggedRuns(log_)) {
      if (run[0] == "-m") continue;
      const std::string script = run[0];
      EXPECT_EQ(script.substr(script.size() - 3), ".py");
      EXPECT_FALSE(std::filesystem::exists(script)) << script;
      EXPECT_EQ(run.size(), 3u);
    }
  }

  const std::filesystem::path log_ = test::home() / "python.log";
};

TEST_F(PythonScriptTest, OutcomesOfOneRun) {
  const std::string word = "notjson";
  struct Case {
    std::string directive;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"({"stdout": "{\"ok\": 1}"})", R"({"ok":1})"},
      {R"({"stdout": "[1,2]"})", "[1,2]"},
      {R"({"stdout": "\"text\""})", "error: Cannot parse Python output: \"text\""},
      {R"({"stdout": "notjson"})", "error: Cannot parse Python output: notjson"},
      {R"({"stdout": "y", "repeat": 300})",
       "error: Cannot parse Python output: " + std::string(200, 'y')},
      {R"({"stdout": "only out", "exit": 1})", "error: Python error: only out"},
      {R"({"stdout": "out", "stderr": "Traceback: boom", "exit": 2})",
       "error: Python error: Traceback: boom"},
      // 200 kB of output, drained while the script runs.
      {R"({"prefix": "[", "stdout": "1,", "repeat": 100000, "suffix": "1]"})", ""},
  };
  for (const auto& c : cases) {
    const std::string outcome = run(c.directive);
    if (c.expected.empty()) {
      EXPECT_EQ(json::parse(outcome).size(), 100001u);
    } else {
      EXPECT_EQ(outcome, c.expected) << c.directive;
    }
  }
  EXPECT_TRUE(pipRuns().empty());
  expectScriptsRemoved();
}

TEST_F(PythonScriptTest, TimeOutEndsTheScript) {
  OfficeServices::PythonLimits limits;
  limits.run = milliseconds(200);
  EXPECT_EQ(run(R"({"delay_ms": 30000})", limits),
            "error: python3 timed out after 0s \u2014 file may be a cloud placeholder still "
            "downloading");
  expectScriptsRemoved();
}

// Only the two Office modules are ever installed, with the user's pip, twice at most.
TEST_F(PythonScriptTest, MissingModules) {
  const std::string missingPptx =
      R"("stderr": "ModuleNotFoundError: No module named 'pptx'", "exit": 1)";
  const std::vector<std::string> userInstall = {"-m",      "pip",    "install",
                                                "--quiet", "--user", "python-pptx"};
  const std::vector<std::string> systemInstall = {
      "-m", "pip", "install", "--quiet", "--user", "--break-system-packages", "python-pptx"};
  struct Case {
    std::string pip;  // FAKE_PIP
    std::string directive;
    std::string expected;
    std::vector<json> installs;
  };
  const std::string pptxMissing =
      "error: Python dependency missing: pptx \u2014 run pip3 install python-pptx";
  const std::vector<Case> cases = {
      {"ok",
       "{" + missingPptx + R"(, "installed": {"stdout": "{\"slides\": 2}"}})",
       R"({"slides":2})",
       {userInstall}},
      {"ok",
       "{" + missingPptx + R"(, "installed": {"stderr": "No module named 'pptx'", "exit": 1}})",
       "error: Python error: No module named 'pptx'",
       {userInstall}},
      {"fail", "{" + missingPptx + "}", pptxMissing, {userInstall, systemInstall}},
      {"hang", "{" + missingPptx + "}", pptxMissing, {userInstall, systemInstall}},
      {"ok",
       R"({"stderr": "ModuleNotFoundError: No module named 'requests'", "exit": 1})",
       "error: Python dependency missing: requests \u2014 run pip3 install requests",
       {}},
      {"ok",
       R"({"stderr": "ModuleNotFoundError: something", "exit": 1})",
       "error: Python dependency missing:  \u2014 run pip3 install ",
       {}},
  };
  OfficeServices::PythonLimits limits;
  limits.pipInstall = milliseconds(600);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directive);
    std::filesystem::remove(log_);
    std::filesystem::remove(log_.string() + ".installed");
    ::setenv("FAKE_PIP", c.pip.c_str(), 1);
    EXPECT_EQ(run(c.directive, limits), c.expected);
    const auto installs = pipRuns();
    ASSERT_LE(c.installs.size(), 2u);
    // A hanging pip may use the whole budget on its first attempt.
    if (c.pip == "hang") {
      ASSERT_FALSE(installs.empty());
      EXPECT_EQ(installs[0], json(userInstall));
    } else {
      EXPECT_EQ(installs, c.installs);
    }
    expectScriptsRemoved();
  }
}

TEST_F(PythonScriptTest, InterpreterThatCannotStart) {
  ::setenv(OfficeServices::kPythonVariable, "/no/such/python3", 1);
  EXPECT_EQ(run("{}").rfind("error: Cannot run python3: ", 0), 0u);
  EXPECT_TRUE(test::namesIn(std::getenv("TMPDIR")).empty());

  const std::string temporary = std::getenv("TMPDIR");
  ::setenv("TMPDIR", "/no/such/folder", 1);
  EXPECT_EQ(run("{}"), "error: Cannot write temp Python script");
  ::setenv("TMPDIR", temporary.c_str(), 1);
}

// Frees header readers stuck on a FIFO by opening it for writing until none is left waiting.
void releaseReaders(const std::filesystem::path& fifo) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (OfficeServices::headerReadersRunning() > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    std::this_thread::sleep_for(milliseconds(5));
  }
}

TEST(HeaderReadTest, FileThatNeverAnswersCostsOnlyTheTimeOut) {
  const auto fifo = test::home() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto regular = test::home() / "file.bin";
  test::writeFile(regular, "PK\x03\x04rest");

  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(regular, 4, 2.0), "PK\x03\x04");
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(test::home() / "none", 4, 2.0), std::nullopt);
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(fifo, 4, 0.05), std::nullopt);
  // With as many readers stranded as allowed, the answer is nothing at once, even for a file
  // that would answer.
  for (int i = 0; i < 7; ++i) OfficeServices::readFileHeaderWithTimeout(fifo, 4, 0.01);
  EXPECT_EQ(OfficeServices::headerReadersRunning(), 8);
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(regular, 4, 2.0), std::nullopt);

  releaseReaders(fifo);
  EXPECT_EQ(OfficeServices::headerReadersRunning(), 0);
  EXPECT_EQ(OfficeServices::readFileHeaderWithTimeout(regular, 2, 2.0), "PK");
}

TEST(CloudPlaceholderTest, OnlyCloudFilesThatAreNotLocalAreDownloaded) {
  const PlaceholderPolling quick{milliseconds(20), 5};
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  const auto log = test::home() / "brctl.log";
  ::setenv("FAKE_BRCTL_LOG", log.c_str(), 1);
  const std::string stillPlaceholder =
      "This file lives in OneDrive and hasn't been downloaded to this Mac yet. Started the "
      "download but it's still in progress after 6 seconds \u2014 the file is probably too large "
      "for an on-demand fetch. Open it once in Finder (double-click) to materialize it locally, "
      "then re-run this tool. macOS keeps the file cached after the first open.";

  const auto marked = cloud / "marked.docx";
  test::writeFile(marked, "full contents");
  const bool canMark =
      ::setxattr(marked.c_str(), "user.com.apple.fileprovider.ignore#P", "1", 1, 0) == 0;

  struct Case {
    std::filesystem::path file;
    std::string bytes;  // written first, unless the file is `marked`
    bool withClient;
    bool ready;   // no error comes back
    bool probed;  // the sync client was asked
  };
  std::vector<Case> cases = {
      {test::home() / "Documents" / "empty.docx", "", true, true, false},
      {cloud / "local.docx", "full contents", true, true, false},
      {cloud / "empty.docx", "", false, false, true},
      {cloud / "empty-fetched.docx", "", true, true, true},
      // Detected for its short header, but the wait only asks for some bytes and no marker.
      {cloud / "three.docx", "abc", false, true, true},
      {cloud / "three-fetched.docx", "abc", true, true, true},
  };
  if (canMark) {
    cases.push_back({marked, "", false, false, true});
    cases.push_back({marked, "", true, true, true});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.string());
    if (c.file != marked) test::writeFile(c.file, c.bytes);
    std::filesystem::remove(log);
    if (c.withClient) {
      ::setenv("TVRN_BRCTL", (test::fakesDir() / "fake-brctl").c_str(), 1);
    } else {
      ::unsetenv("TVRN_BRCTL");
    }
    const auto error = OfficeServices::ensureNotCloudPlaceholder(c.file.string(), quick);
    EXPECT_EQ(error.has_value(), !c.ready);
    if (error) {
      EXPECT_EQ(error->description(), stillPlaceholder);
    }
    const bool asked = std::filesystem::exists(log);
    EXPECT_EQ(asked, c.probed && c.withClient);
    if (asked) {
      EXPECT_EQ(test::readFile(log), json({"download", c.file.string()}).dump() + "\n");
    }
  }
}

}  // namespace
}  // namespace tvrn
