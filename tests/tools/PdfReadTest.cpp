#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PdfMaker.h"
#include "support/TestEnv.h"
#include "tools/OfficeTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::vector<test::PdfPage> numberedPages(int count) {
  std::vector<test::PdfPage> pages;
  for (int i = 1; i <= count; ++i) pages.push_back({"Page " + std::to_string(i) + " text"});
  return pages;
}

std::string pdfFile(const std::string& name, const std::vector<test::PdfPage>& pages) {
  const auto file = test::home() / name;
  test::writeFile(file, test::makePdf(pages));
  return file.string();
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(PdfReadTest, HeaderAndNoteFollowThePageLimit) {
  const std::string one = pdfFile("one.pdf", numberedPages(1));
  const std::string ten = pdfFile("ten.pdf", numberedPages(10));
  const std::string sixty = pdfFile("sixty.pdf", numberedPages(60));
  struct Case {
    std::string path;
    json maxPages;  // null: not given
    std::string header;
    int lastPageShown;
  };
  const std::vector<Case> cases = {
      {one, nullptr, "PDF: 1 page", 1},
      {ten, 3, "PDF: 10 pages (showing 3 of 10)", 3},
      {ten, 20, "PDF: 10 pages", 10},
      {ten, 0, "PDF: 10 pages", 10},
      {sixty, nullptr, "PDF: 60 pages (showing 50 of 60)", 50},
      {sixty, -4, "PDF: 60 pages (showing 50 of 60)", 50},
      {sixty, "5", "PDF: 60 pages (showing 50 of 60)", 50},
      {sixty, 2.5, "PDF: 60 pages (showing 50 of 60)", 50},
  };
  for (const auto& c : cases) {
    json arguments = {{"path", c.path}};
    if (!c.maxPages.is_null()) arguments["max_pages"] = c.maxPages;
    const std::string text = test::callOffice("pdf_read", arguments);
    SCOPED_TRACE(c.path + " max_pages " + c.maxPages.dump());
    EXPECT_EQ(firstLine(text), c.header);
    EXPECT_EQ(text.substr(c.header.size(), 5), "\n---\n");
    const std::string last = "Page " + std::to_string(c.lastPageShown) + " text";
    const std::string next = "Page " + std::to_string(c.lastPageShown + 1) + " text";
    EXPECT_NE(text.find(last), std::string::npos);
    EXPECT_EQ(text.find(next), std::string::npos);
  }
  EXPECT_EQ(test::callOffice("pdf_read", {{"path", one}}), "PDF: 1 page\n---\nPage 1 text");
}

TEST(PdfReadTest, PagesWithoutTextAddNothing) {
  const std::string blank = pdfFile("blank.pdf", {{}, {}});
  EXPECT_EQ(test::callOffice("pdf_read", {{"path", blank}}), "PDF: 2 pages\n---\n");
  const std::string mixed = pdfFile("mixed.pdf", {{"alpha"}, {}, {"gamma"}});
  EXPECT_EQ(test::callOffice("pdf_read", {{"path", mixed}}), "PDF: 3 pages\n---\nalpha\n\ngamma");
}

// Once the text passes 99999 bytes the reading stops, and the note counts the pages visited,
// a page without text among them.
TEST(PdfReadTest, SizeCutCountsThePagesVisited) {
  std::vector<test::PdfPage> pages;
  for (int i = 1; i <= 40; ++i) {
    test::PdfPage page = {"Marker " + std::to_string(i) + " end"};
    if (i != 2) page.insert(page.end(), 180, std::string(100, 'x'));
    pages.push_back(page);
  }
  const std::string text = test::callOffice("pdf_read", {{"path", pdfFile("big.pdf", pages)}});
  const std::string header = firstLine(text);
  const std::string prefix = "PDF: 40 pages (showing ";
  ASSERT_EQ(header.substr(0, prefix.size()), prefix) << header;
  const int shown = std::stoi(header.substr(prefix.size()));
  EXPECT_EQ(header, prefix + std::to_string(shown) + " of 40)");
  EXPECT_GT(text.size(), 99999u);
  EXPECT_NE(text.find("Marker " + std::to_string(shown) + " end"), std::string::npos);
  EXPECT_EQ(text.find("Marker " + std::to_string(shown + 1) + " end"), std::string::npos);
  EXPECT_LT(shown, 40);
}

TEST(PdfReadTest, FailuresNameThePath) {
  const auto notPdf = test::home() / "notes.pdf";
  test::writeFile(notPdf, "just words");
  const std::string notPdfPath = notPdf.string();
  const std::string bad =
      "Could not open PDF at " + notPdfPath + ". The file may be corrupted or not a valid PDF.";
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"path", notPdfPath}}, "error: " + bad},
      {{{"path", "/no/such/file.pdf"}}, "error: Not found: /no/such/file.pdf"},
      {{{"path", "~/x.pdf"}}, "error: Not found: ~/x.pdf"},
      {json::object(), "error: Missing required parameter: path"},
      {{{"path", " \t"}}, "error: Invalid 'path': expected non-empty string"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(test::callOffice("pdf_read", arguments), expected) << arguments.dump();
  }
}

}  // namespace
}  // namespace tvrn
