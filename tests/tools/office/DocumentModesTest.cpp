#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/ScopedUmask.h"
#include "support/TestEnv.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;

mode_t modeOf(const std::filesystem::path& file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
  return info.st_mode & 07777;
}

// Every document writer gives a new file 0644 less the umask, as the user's other programs
// would, and keeps the mode of a file it replaces or changes, whatever the umask.
TEST(DocumentWritersTest, SetTheirFilesModeFromTheUmask) {
  ::setenv(OfficeServices::kPythonVariable, "/usr/bin/python3", 1);
  struct Case {
    std::string tool;
    std::string file;
    json arguments;
    std::optional<mode_t> before;  // the mode of a document already there; none: a new file
  };
  const json word = {{"content", "one\ntwo"}};
  const json book = {{"headers", {"Name"}}, {"rows", {{"a"}}}};
  const json deck = {{"slides", {{{"title", "One"}, {"bullets", {"a"}}}}}};
  const json cell = {{"row", 2}, {"column", 2}, {"value", "b"}};
  const std::vector<Case> cases = {
      {"word_create", "new.docx", word, std::nullopt},
      {"word_create", "private.docx", word, 0600},
      {"word_append", "shared.docx", word, 0664},
      {"excel_create", "new.xlsx", book, std::nullopt},
      {"excel_create", "private.xlsx", book, 0600},
      {"excel_write_cell", "shared.xlsx", cell, 0664},
      {"ppt_create", "new.pptx", deck, std::nullopt},
      {"ppt_create", "private.pptx", deck, 0600},
  };
  const std::vector<std::pair<std::string, std::pair<std::string, json>>> makers = {
      {".docx", {"word_create", word}},
      {".xlsx", {"excel_create", book}},
      {".pptx", {"ppt_create", deck}}};
  // The umask, and the mode a new document gets under it.
  for (const auto& [mask, fresh] :
       std::vector<std::pair<mode_t, mode_t>>{{077, 0600}, {022, 0644}, {027, 0640}, {0, 0644}}) {
    const auto folder = test::home() / ("umask-" + std::to_string(mask));
    std::filesystem::create_directories(folder);
    const test::ScopedUmask set(mask);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.tool + " " + c.file + " under umask " + std::to_string(mask));
      const auto file = folder / c.file;
      if (c.before) {
        for (const auto& [extension, maker] : makers) {
          if (file.extension() != extension) continue;
          json arguments = maker.second;
          arguments.update({{"path", file.string()}, {"confirm", true}});
          ASSERT_TRUE(test::jsonOrText(test::callOfficeTool(maker.first, arguments)).is_object());
        }
        ASSERT_EQ(::chmod(file.c_str(), *c.before), 0);
      }
      json arguments = c.arguments;
      arguments.update({{"path", file.string()}, {"confirm", true}});
      const auto result = test::callOfficeTool(c.tool, arguments);
      ASSERT_TRUE(result) << result.error().description();
      EXPECT_EQ(modeOf(file), c.before.value_or(fresh));
    }
  }
}

}  // namespace
}  // namespace tvrn
