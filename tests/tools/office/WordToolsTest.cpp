#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/office/OfficeTestSupport.h"
#include "tools/office/WordDocuments.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::callOffice;

constexpr const char* kStyles = "<styles>kept as they were</styles>";
const std::string kSectionBreaks =
    "<w:p><w:pPr><w:sectPr><w:type w:val=\"nextPage\"/></w:sectPr></w:pPr><w:r><w:t>One</w:t>"
    "</w:r></w:p><w:p><w:pPr><w:sectPr/></w:pPr><w:r><w:t>Two</w:t></w:r></w:p>";
const std::string kAttributedSectPr =
    "<w:sectPr w:rsidR=\"00AB12\"><w:pgSz w:w=\"12240\" w:h=\"15840\"/></w:sectPr>";
// Paragraphs as LibreOffice writes them: properties with a style and tab stops, a run per change
// of format, a tab and a line break in runs, an empty paragraph.
const std::string kLibreOfficeBody =
    R"(<w:p><w:pPr><w:pStyle w:val="Normal"/><w:bidi w:val="0"/><w:rPr></w:rPr></w:pPr><w:r>)"
    R"(<w:rPr></w:rPr><w:t>First</w:t></w:r></w:p><w:p><w:pPr><w:pStyle w:val="Normal"/><w:tabs>)"
    R"(<w:tab w:val="left" w:pos="1134" w:leader="none"/></w:tabs><w:rPr></w:rPr></w:pPr><w:r>)"
    R"(<w:rPr></w:rPr><w:t>Tab</w:t></w:r><w:r><w:rPr></w:rPr><w:tab/><w:t>here</w:t><w:br/>)"
    R"(<w:t xml:space="preserve">two </w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>bold</w:t></w:r>)"
    R"(</w:p><w:p><w:pPr><w:pStyle w:val="Normal"/></w:pPr><w:r><w:rPr></w:rPr></w:r></w:p><w:p>)"
    R"(<w:pPr><w:pStyle w:val="Normal"/></w:pPr><w:r><w:t>Last</w:t></w:r></w:p>)";

// A package as a word processor leaves it, with a styles part that an append must leave alone.
std::string docxWithBody(const std::string& name, const std::string& body) {
  const auto file = test::home() / name;
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><w:document "
      "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>" +
      body + "</w:body></w:document>";
  EXPECT_TRUE(ZipArchive::create(file, {{"word/document.xml", xml}, {"word/styles.xml", kStyles}}));
  return file.string();
}

std::string created(const std::string& name, const std::string& title, const std::string& content) {
  const std::string path = (test::home() / name).string();
  callOffice("word_create",
             {{"path", path}, {"title", title}, {"content", content}, {"confirm", true}});
  return path;
}

std::vector<std::string> column(const json& children, const char* key) {
  std::vector<std::string> values;
  for (const auto& child : children) values.push_back(child[key]);
  return values;
}

TEST(WordToolsTest, CreateShowsAPreviewThenWritesAPackage) {
  const std::string path = (test::home() / "made.docx").string();
  EXPECT_EQ(callOffice("word_create", {{"path", path}, {"content", std::string(250, 'c')}}),
            "Preview \u2014 Word document to be created:\n  Path:    " + path +
                "\n  Title:   (none)\n  Content: " + std::string(200, 'c') +
                "...\nCall again with confirm: true to create.");
  EXPECT_EQ(callOffice("word_append", {{"path", path}, {"content", "short"}}),
            "Preview \u2014 append to '" + path + "': 'short'. Call again with confirm: true");
  EXPECT_FALSE(std::filesystem::exists(path));

  EXPECT_EQ(callOffice("word_create", {{"path", path},
                                       {"title", "Q&A \"notes\""},
                                       {"content", "first <line>\n\nthird"},
                                       {"confirm", true}}),
            "{\n  \"created\": true,\n  \"path\": \"" + path + "\"\n}");
  const auto package = test::inspectDocx(path);
  ASSERT_TRUE(package);
  EXPECT_EQ((*package)["names"], json({"[Content_Types].xml", "_rels/.rels",
                                       "word/_rels/document.xml.rels", "word/document.xml"}));
  EXPECT_EQ(column((*package)["body"], "tag"),
            (std::vector<std::string>{"p", "p", "p", "p", "sectPr"}));
  EXPECT_EQ(column((*package)["body"], "text"),
            (std::vector<std::string>{"Q&A \"notes\"", "first <line>", "", "third", ""}));
}

TEST(WordToolsTest, ReadsEachKindOfWordProcessingFile) {
  const auto rtf = test::home() / "letter.rtf";
  test::writeFile(rtf, "{\\rtf1\\ansi{\\fonttbl\\f0 Helvetica;}\\f0 Caf\\'e9 \\u8364?\\par Two}");
  const auto html = test::home() / "page.html";
  test::writeFile(html,
                  "<html><head><title>T</title><style>p{}</style></head><body><h1>Head</h1>"
                  "<p>One  two\n three</p><table><tr><td>a</td><td>b</td></tr></table></body>");
  const auto plain = test::home() / "notes.txt";
  test::writeFile(plain, "\xEF\xBB\xBFplain words\n");
  const auto binary = test::home() / "old.doc";
  test::writeFile(binary, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1\0\0", 10));

  const std::vector<std::pair<std::string, std::string>> cases = {
      {created("read.docx", "Title", "first &amp; line\n\nthird"),
       "Title\nfirst &amp; line\n\nthird"},
      {created("less.docx", "A & B", "<3"), "A & B\n<3"},
      {created("greater.docx", "", "a > b"), "a > b"},
      {created("quotes.docx", "", "\"quotes\""), "\"quotes\""},
      {created("reference.docx", "", "&#169;"), "&#169;"},
      {docxWithBody("references.docx",
                    "<w:p><w:r><w:t>&#169;&#xA9; &lt;&amp;&gt;</w:t></w:r></w:p>"),
       "\u00a9\u00a9 <&>"},
      {docxWithBody("breaks.docx", kSectionBreaks + kAttributedSectPr), "One\nTwo"},
      {docxWithBody("tab.docx",
                    R"(<w:p><w:pPr><w:pStyle w:val="Heading1"/></w:pPr><w:r><w:t>Tab</w:t></w:r>)"
                    R"(<w:proofErr w:type="spellStart"/><w:r><w:tab/><w:t>here</w:t><w:cr/>)"
                    R"(<w:t>again</w:t></w:r></w:p><w:p><w:r><w:t>Next</w:t></w:r></w:p>)"),
       "Tab\there\nagain\nNext"},
      {docxWithBody("libreoffice.docx", kLibreOfficeBody + kAttributedSectPr),
       "First\nTab\there\ntwo bold\n\nLast"},
      {rtf.string(), "Caf\u00e9 \u20ac\nTwo"},
      {html.string(), "Head\nOne two three\na\tb"},
      {plain.string(), "plain words"},
      {binary.string(), "failed: /usr/bin/textutil failed: unsupported document format"},
      {"/no/such.docx", "failed: Not found: /no/such.docx"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(callOffice("word_read", {{"path", path}}), expected) << path;
  }
}

// New paragraphs go once, before the body's own section properties in whatever form they are
// written, never into the section breaks inside paragraphs.
TEST(WordToolsTest, AppendGoesBeforeTheBodysSectionProperties) {
  const std::string old = "<w:p><w:r><w:t>Old</w:t></w:r></w:p>";
  const std::vector<std::pair<std::string, std::string>> bodies = {
      {"empty.docx", old + "<w:sectPr/>"},
      {"attributed.docx", old + kAttributedSectPr},
      {"breaks.docx", kSectionBreaks + "<w:sectPr/>"},
      {"none.docx", old},
  };
  for (const auto& [name, body] : bodies) {
    SCOPED_TRACE(name);
    const std::string path = docxWithBody(name, body);
    EXPECT_EQ(callOffice("word_append",
                         {{"path", path}, {"content", "a\nb\U0001F600e\u0301"}, {"confirm", true}}),
              "Appended 5 characters to " + path);
    const auto package = test::inspectDocx(path);
    ASSERT_TRUE(package);
    auto tags = column((*package)["body"], "tag");
    auto texts = column((*package)["body"], "text");
    const bool sectioned = name != "none.docx";
    EXPECT_EQ(tags.back(), sectioned ? "sectPr" : "p");
    if (sectioned) texts.pop_back();
    EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
              (std::vector<std::string>{name == "breaks.docx" ? "Two" : "Old", "a",
                                        "b\U0001F600e\u0301"}));
    int inner = 0;
    for (const auto& child : (*package)["body"]) inner += child["inner"].get<int>();
    EXPECT_EQ(inner, name == "breaks.docx" ? 2 : 0);
    EXPECT_EQ(ZipArchive::readMember(path, "word/styles.xml").value(), kStyles);
  }
}

// A failed create or append (here: a file that is not a package, a body that cannot be found, a
// folder that is missing or a file, the file-size limit) keeps the old file and leaves no temporary
// file beside it.
TEST(WordToolsTest, FailedWritesKeepTheOldFile) {
  const auto folder = test::home() / "docs";
  std::filesystem::create_directories(folder);
  const std::string kept = created("docs/kept.docx", "Kept", std::string(4000, 'k'));
  test::writeFile(folder / "plain.docx", "not a package");
  ASSERT_TRUE(
      ZipArchive::create(folder / "cut.docx", {{"word/document.xml", "<w:document><w:p>"}}));
  const auto before = test::contentsOf(folder);
  const std::string missing = (folder / "missing" / "new.docx").string();
  const std::string inFile = (folder / "plain.docx" / "new.docx").string();

  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"word_append", (folder / "plain.docx").string(),
       "Cannot write '" + (folder / "plain.docx").string() +
           "': the file there is not a Word document (.docx); nothing was written."},
      {"word_append", (folder / "cut.docx").string(), "Cannot read document.xml"},
      {"word_append", "/no/such.docx", "Not found: /no/such.docx"},
      {"word_create", missing,
       "Cannot write '" + missing + "': no such folder; nothing was written."},
      {"word_create", inFile,
       "Cannot write '" + inFile + "': no such folder; nothing was written."},
      {"word_create", kept, "Cannot zip .docx file"},
      {"word_append", kept, "Cannot write back to .docx"},
  };
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
  for (const auto& [tool, path, expected] : cases) {
    const bool limited = path == kept;
    rlimit small = original;
    small.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, limited ? &small : &original), 0);
    const std::string reply =
        callOffice(tool, {{"path", path}, {"content", "more"}, {"confirm", true}});
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);
    EXPECT_EQ(reply, "failed: " + expected) << tool << " " << path;
  }
  EXPECT_EQ(test::contentsOf(folder), before);
}

// A relative path names one file, in the working directory, through every step.
TEST(WordToolsTest, RelativePathsLandInTheWorkingDirectory) {
  const auto folder = test::home() / "cwd";
  std::filesystem::create_directories(folder);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  const std::string made =
      callOffice("word_create", {{"path", "rel.docx"}, {"content", "one"}, {"confirm", true}});
  const std::string appended =
      callOffice("word_append", {{"path", "rel.docx"}, {"content", "two"}, {"confirm", true}});
  const std::string read = callOffice("word_read", {{"path", "rel.docx"}});
  std::filesystem::current_path(previous);

  EXPECT_EQ(made, "{\n  \"created\": true,\n  \"path\": \"rel.docx\"\n}");
  EXPECT_EQ(appended, "Appended 3 characters to rel.docx");
  EXPECT_EQ(read, "one\ntwo");
  EXPECT_EQ(test::namesIn(folder), std::vector<std::string>{"rel.docx"});
}

// A cloud file that is not a package is taken for a placeholder: one download, one retry.
TEST(WordToolsTest, CloudFileWithoutZipHeaderIsDownloadedOnce) {
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  const auto log = test::home() / "brctl-word.log";
  ::setenv("FAKE_BRCTL_LOG", log.c_str(), 1);
  ::unsetenv("TVRN_BRCTL");
  test::writeFile(cloud / "stuck.docx", "{\\rtf1 not yet}");
  EXPECT_EQ(test::textOf(WordDocuments::readDocx((cloud / "stuck.docx").string(), false,
                                                 {std::chrono::milliseconds(5), 4})),
            "failed: This file appears to be an OneDrive cloud placeholder that hasn't been fully "
            "downloaded. Attempted brctl download but the file is still not readable after 6 "
            "seconds. Open it once in Finder (double-click) to materialize it locally, then "
            "re-run this tool. macOS keeps the file cached after the first open.");

  ::setenv("TVRN_BRCTL", (test::fakesDir() / "fake-brctl").c_str(), 1);
  ::setenv("FAKE_BRCTL_SOURCE", created("source.docx", "", "from the cloud").c_str(), 1);
  const auto arriving = cloud / "arriving.docx";
  test::writeFile(arriving, "{\\rtf1 not yet}");
  // The file already has bytes, so the first check ends the wait: give the client time to run.
  EXPECT_EQ(test::textOf(WordDocuments::readDocx(arriving.string(), false,
                                                 {std::chrono::milliseconds(400), 2})),
            "from the cloud");
  EXPECT_EQ(test::readFile(log), json({"download", arriving.string()}).dump() + "\n");
}

}  // namespace
}  // namespace tvrn
