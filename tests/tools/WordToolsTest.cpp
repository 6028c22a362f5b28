#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/OfficeTestSupport.h"
#include "tools/WordDocuments.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr const char* kBodyOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
    "<w:body>";
constexpr const char* kStyles = "<styles>kept as they were</styles>";

// A package as a word processor leaves it: document.xml with the given body, and a styles part
// that an append must leave alone.
std::string docxWithBody(const std::string& name, const std::string& body) {
  const auto file = test::home() / name;
  EXPECT_TRUE(ZipArchive::create(
      file, {{"[Content_Types].xml", "<Types/>"},
             {"word/document.xml", std::string(kBodyOpen) + body + "</w:body></w:document>"},
             {"word/styles.xml", kStyles}}));
  return file.string();
}

std::string created(const std::string& name, const std::string& title, const std::string& content) {
  const std::string path = (test::home() / name).string();
  test::callOffice("word_create",
                   {{"path", path}, {"title", title}, {"content", content}, {"confirm", true}});
  return path;
}

const std::string kSectionBreakBody =
    "<w:p><w:pPr><w:sectPr><w:type w:val=\"nextPage\"/></w:sectPr></w:pPr><w:r><w:t>One</w:t>"
    "</w:r></w:p><w:p><w:pPr><w:sectPr/></w:pPr><w:r><w:t>Two</w:t></w:r></w:p>";
const std::string kAttributedSectPr =
    "<w:sectPr w:rsidR=\"00AB12\"><w:pgSz w:w=\"12240\" w:h=\"15840\"/></w:sectPr>";

TEST(WordToolsTest, PreviewsChangeNothing) {
  const std::string path = (test::home() / "preview.docx").string();
  const std::string longContent(250, 'c');
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"path", path}, {"content", longContent}},
       "Preview \u2014 Word document to be created:\n  Path:    " + path +
           "\n  Title:   (none)\n  Content: " + std::string(200, 'c') +
           "...\nCall again with confirm: true to create."},
      {{{"path", path}, {"title", "T"}, {"content", "short text"}, {"confirm", "no"}},
       "Preview \u2014 Word document to be created:\n  Path:    " + path +
           "\n  Title:   T\n  Content: short text...\nCall again with confirm: true to create."},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(test::callOffice("word_create", arguments), expected);
  }
  EXPECT_EQ(test::callOffice("word_append", {{"path", path}, {"content", longContent}}),
            "Preview \u2014 append to '" + path + "': '" + std::string(200, 'c') +
                "'. Call again with confirm: true");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(test::callOffice("word_create", {{"path", path}}),
            "error: Missing required parameter: content");
}

TEST(WordToolsTest, CreatedDocumentIsAPackageWordProcessorsRead) {
  const std::string path = (test::home() / "made.docx").string();
  EXPECT_EQ(test::callOffice("word_create", {{"path", path},
                                             {"title", "Q&A \"notes\""},
                                             {"content", "first <line>\n\nthird"},
                                             {"confirm", true}}),
            "{\n  \"created\": true,\n  \"path\": \"" + path + "\"\n}");
  const auto package = test::inspectDocx(path);
  ASSERT_TRUE(package);
  EXPECT_EQ((*package)["names"], json({"[Content_Types].xml", "_rels/.rels",
                                       "word/_rels/document.xml.rels", "word/document.xml"}));
  std::vector<std::string> tags, texts;
  for (const auto& child : (*package)["body"]) {
    tags.push_back(child["tag"]);
    texts.push_back(child["text"]);
  }
  EXPECT_EQ(tags, (std::vector<std::string>{"p", "p", "p", "p", "sectPr"}));
  EXPECT_EQ(texts, (std::vector<std::string>{"Q&A \"notes\"", "first <line>", "", "third", ""}));

  // Over an existing file: replaced.
  created("made.docx", "", "second version");
  EXPECT_EQ(test::callOffice("word_read", {{"path", path}}), "second version");
}

TEST(WordToolsTest, ReadsEachKindOfWordProcessingFile) {
  const std::string made = created("read.docx", "Title", "first &amp; line\n\nthird");
  const std::string breaks = docxWithBody("breaks.docx", kSectionBreakBody + kAttributedSectPr);
  const auto rtf = test::home() / "letter.rtf";
  test::writeFile(
      rtf,
      "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;}{\\*\\generator Writer;}\\f0\\pard "
      "Caf\\'e9 \\u8364?\\tab x\\par Second line}");
  const auto html = test::home() / "page.html";
  test::writeFile(html,
                  "<html><head><title>T</title><style>p{}</style></head><body><h1>Head</h1>"
                  "<p>One  two\n three</p><ul><li>a</li><li>b</li></ul></body></html>");
  const auto plain = test::home() / "notes.txt";
  test::writeFile(plain, "\xEF\xBB\xBFplain words\n");
  const auto binary = test::home() / "old.doc";
  test::writeFile(binary, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1\0\0\0", 11));

  const std::vector<std::pair<std::string, std::string>> cases = {
      {made, "Title\nfirst &amp;amp; line\n\nthird"},
      {breaks, "One\n\nTwo"},
      {rtf.string(), "Caf\u00e9 \u20ac\tx\nSecond line"},
      {html.string(), "Head\nOne two three\na\nb"},
      {plain.string(), "plain words"},
      {binary.string(), "error: /usr/bin/textutil failed: unsupported document format"},
      {"/no/such.docx", "error: Not found: /no/such.docx"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(test::callOffice("word_read", {{"path", path}}), expected) << path;
  }
}

// New paragraphs go once, before the body's own section properties in whatever form they are
// written, never into the section breaks inside paragraphs.
TEST(WordToolsTest, AppendGoesBeforeTheBodysSectionProperties) {
  struct Case {
    std::string name;
    std::string body;
    std::vector<std::string> tags;  // the body's children after the append
  };
  const std::vector<Case> cases = {
      {"empty-sectpr.docx",
       "<w:p><w:r><w:t>Old</w:t></w:r></w:p><w:sectPr/>",
       {"p", "p", "p", "sectPr"}},
      {"attributed.docx",
       "<w:p><w:r><w:t>Old</w:t></w:r></w:p>" + kAttributedSectPr,
       {"p", "p", "p", "sectPr"}},
      {"breaks.docx", kSectionBreakBody + "<w:sectPr/>", {"p", "p", "p", "p", "sectPr"}},
      {"none.docx", "<w:p><w:r><w:t>Old</w:t></w:r></w:p>", {"p", "p", "p"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = docxWithBody(c.name, c.body);
    EXPECT_EQ(test::callOffice("word_append",
                               {{"path", path}, {"content", "added\nmore"}, {"confirm", true}}),
              "Appended 10 characters to " + path);
    const auto package = test::inspectDocx(path);
    ASSERT_TRUE(package);
    std::vector<std::string> tags;
    int sectionBreaks = 0;
    for (const auto& child : (*package)["body"]) {
      tags.push_back(child["tag"]);
      if (child["tag"] == "p") sectionBreaks += child["inner"].get<int>();
    }
    EXPECT_EQ(tags, c.tags);
    const auto& body = (*package)["body"];
    const std::size_t firstNew = c.tags.back() == "sectPr" ? tags.size() - 3 : tags.size() - 2;
    EXPECT_EQ(body[firstNew]["text"], "added");
    EXPECT_EQ(body[firstNew + 1]["text"], "more");
    EXPECT_EQ(sectionBreaks, c.name == "breaks.docx" ? 2 : 0);
    EXPECT_EQ(ZipArchive::readMember(path, "word/styles.xml").value(), kStyles);
  }
}

TEST(WordToolsTest, AppendCountsCharactersAsReadersSeeThem) {
  const std::string path = created("count.docx", "", "start");
  EXPECT_EQ(
      test::callOffice("word_append",
                       {{"path", path}, {"content", "a\U0001F600e\u0301"}, {"confirm", true}}),
      "Appended 3 characters to " + path);
  EXPECT_EQ(test::callOffice("word_read", {{"path", path}}), "start\na\U0001F600e\u0301");
}

TEST(WordToolsTest, AppendFailuresLeaveTheFileAlone) {
  const auto notZip = test::home() / "plain.docx";
  test::writeFile(notZip, "not a package");
  const auto unfinished = test::home() / "unfinished.docx";
  ASSERT_TRUE(ZipArchive::create(unfinished, {{"word/document.xml", "<w:document><w:body><w:p>"}}));
  const std::string unfinishedBefore = test::readFile(unfinished);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {notZip.string(), "error: Cannot open .docx for appending"},
      {"/no/such.docx", "error: Not found: /no/such.docx"},
      {unfinished.string(), "error: Cannot read document.xml"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(
        test::callOffice("word_append", {{"path", path}, {"content", "x"}, {"confirm", true}}),
        expected);
  }
  EXPECT_EQ(test::readFile(notZip), "not a package");
  EXPECT_EQ(test::readFile(unfinished), unfinishedBefore);
}

// A write that fails part-way (here: the file-size limit) keeps the old document and leaves no
// temporary file beside it.
TEST(WordToolsTest, FailedWritesKeepTheOldDocument) {
  const auto folder = test::home() / "docs";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "kept.docx").string();
  created("docs/kept.docx", "Kept", std::string(4000, 'k'));
  const std::string before = test::readFile(path);
  ASSERT_FALSE(before.empty());

  ::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
  rlimit small = original;
  small.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string createReply = test::callOffice(
      "word_create", {{"path", path}, {"content", "replacement"}, {"confirm", true}});
  const std::string appendReply =
      test::callOffice("word_append", {{"path", path}, {"content", "more"}, {"confirm", true}});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);

  EXPECT_EQ(createReply, "error: Cannot zip .docx file");
  const auto missingFolder = folder / "missing" / "new.docx";
  EXPECT_EQ(
      test::callOffice("word_create",
                       {{"path", missingFolder.string()}, {"content", "x"}, {"confirm", true}}),
      "error: Cannot zip .docx file");
  EXPECT_EQ(appendReply, "error: Cannot write back to .docx");
  EXPECT_EQ(test::readFile(path), before);
  EXPECT_EQ(test::namesIn(folder), std::vector<std::string>{"kept.docx"});
}

// A relative path names one file, in the working directory, through every step.
TEST(WordToolsTest, RelativePathsLandInTheWorkingDirectory) {
  const auto folder = test::home() / "cwd";
  std::filesystem::create_directories(folder);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  const std::string created = test::callOffice(
      "word_create", {{"path", "rel.docx"}, {"content", "one"}, {"confirm", true}});
  const std::string appended = test::callOffice(
      "word_append", {{"path", "rel.docx"}, {"content", "two"}, {"confirm", true}});
  const std::string read = test::callOffice("word_read", {{"path", "rel.docx"}});
  std::filesystem::current_path(previous);

  EXPECT_EQ(created, "{\n  \"created\": true,\n  \"path\": \"rel.docx\"\n}");
  EXPECT_EQ(appended, "Appended 3 characters to rel.docx");
  EXPECT_EQ(read, "one\ntwo");
  EXPECT_EQ(test::namesIn(folder), std::vector<std::string>{"rel.docx"});
}

// A cloud file that is not a package is taken for a placeholder: one download, one retry.
TEST(WordToolsTest, CloudFileWithoutZipHeaderIsDownloadedOnce) {
  const PlaceholderPolling quick{std::chrono::milliseconds(5), 4};
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  const auto source = created("source.docx", "", "from the cloud");
  const auto log = test::home() / "brctl-word.log";
  ::setenv("FAKE_BRCTL_LOG", log.c_str(), 1);
  ::unsetenv("TVRN_BRCTL");

  const auto stuck = cloud / "stuck.docx";
  test::writeFile(stuck, "{\\rtf1 not yet}");
  const auto stuckReply = WordDocuments::readDocx(stuck.string(), false, quick);
  EXPECT_EQ(test::textOf(stuckReply),
            "error: This file appears to be an OneDrive cloud placeholder that hasn't been fully "
            "downloaded. Attempted brctl download but the file is still not readable after 6 "
            "seconds. Open it once in Finder (double-click) to materialize it locally, then "
            "re-run this tool. macOS keeps the file cached after the first open.");

  ::setenv("TVRN_BRCTL", (test::fakesDir() / "fake-brctl").c_str(), 1);
  ::setenv("FAKE_BRCTL_SOURCE", source.c_str(), 1);
  const auto arriving = cloud / "arriving.docx";
  test::writeFile(arriving, "{\\rtf1 not yet}");
  // The file already has bytes, so the first check ends the wait: give the client time to run.
  const PlaceholderPolling patient{std::chrono::milliseconds(400), 2};
  EXPECT_EQ(test::textOf(WordDocuments::readDocx(arriving.string(), false, patient)),
            "from the cloud");
  EXPECT_EQ(test::readFile(log), json({"download", arriving.string()}).dump() + "\n");
}

}  // namespace
}  // namespace tvrn
