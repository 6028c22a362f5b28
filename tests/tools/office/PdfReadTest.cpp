#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PdfMaker.h"
#include "support/TestEnv.h"
#include "tools/office/OfficeTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::string pdfFile(const std::string& name, const std::vector<test::PdfPage>& pages) {
  test::writeFile(test::home() / name, test::makePdf(pages));
  return (test::home() / name).string();
}

std::string pagesUpTo(int last) {
  std::string text;
  for (int i = 1; i <= last; ++i) text += (i > 1 ? "\n\nPage " : "Page ") + std::to_string(i);
  return text;
}

TEST(PdfReadTest, HeaderNoteAndText) {
  std::vector<test::PdfPage> sixtyPages;
  for (int i = 1; i <= 60; ++i) sixtyPages.push_back({"Page " + std::to_string(i)});
  const std::string one = pdfFile("one.pdf", {{"Page 1"}});
  const std::string ten = pdfFile("ten.pdf", {sixtyPages.begin(), sixtyPages.begin() + 10});
  const std::string sixty = pdfFile("sixty.pdf", sixtyPages);
  const std::string gaps = pdfFile("gaps.pdf", {{"alpha"}, {}, {"gamma"}});
  const std::string blank = pdfFile("blank.pdf", {{}, {}});
  test::writeFile(test::home() / "notes.pdf", "just words");
  const std::string notPdf = (test::home() / "notes.pdf").string();

  const std::vector<std::pair<json, std::string>> cases = {
      {{{"path", one}}, "PDF: 1 page\n---\nPage 1"},
      {{{"path", ten}, {"max_pages", 3}}, "PDF: 10 pages (showing 3 of 10)\n---\n" + pagesUpTo(3)},
      {{{"path", ten}, {"max_pages", 20}}, "PDF: 10 pages\n---\n" + pagesUpTo(10)},
      {{{"path", ten}, {"max_pages", 0}}, "PDF: 10 pages\n---\n" + pagesUpTo(10)},
      {{{"path", sixty}}, "PDF: 60 pages (showing 50 of 60)\n---\n" + pagesUpTo(50)},
      {{{"path", sixty}, {"max_pages", -4}},
       "PDF: 60 pages (showing 50 of 60)\n---\n" + pagesUpTo(50)},
      {{{"path", sixty}, {"max_pages", "5"}},
       "PDF: 60 pages (showing 50 of 60)\n---\n" + pagesUpTo(50)},
      {{{"path", sixty}, {"max_pages", 2.5}},
       "PDF: 60 pages (showing 50 of 60)\n---\n" + pagesUpTo(50)},
      {{{"path", gaps}}, "PDF: 3 pages\n---\nalpha\n\ngamma"},
      {{{"path", blank}}, "PDF: 2 pages\n---\n"},
      {{{"path", notPdf}},
       "failed: Could not open PDF at " + notPdf +
           ". The file may be corrupted or not a valid PDF."},
      {{{"path", "~/x.pdf"}}, "failed: Not found: ~/x.pdf"},
      {{{"path", " \t"}}, "failed: Invalid 'path': expected non-empty string"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(test::callOffice("pdf_read", arguments), expected) << arguments.dump();
  }
}

// Once the text passes 99999 bytes the reading stops, and the note counts the pages visited,
// a page without text among them.
TEST(PdfReadTest, SizeCutCountsThePagesVisited) {
  std::vector<test::PdfPage> pages;
  for (int i = 1; i <= 40; ++i) {
    pages.push_back({"Marker " + std::to_string(i) + " end"});
    if (i != 2) pages.back().insert(pages.back().end(), 180, std::string(100, 'x'));
  }
  const std::string text = test::callOffice("pdf_read", {{"path", pdfFile("big.pdf", pages)}});
  const std::string prefix = "PDF: 40 pages (showing ";
  ASSERT_EQ(text.substr(0, prefix.size()), prefix);
  const int shown = std::stoi(text.substr(prefix.size()));
  EXPECT_EQ(text.substr(0, text.find('\n')), prefix + std::to_string(shown) + " of 40)");
  EXPECT_GT(text.size(), 99999u);
  EXPECT_NE(text.find("Marker " + std::to_string(shown) + " end"), std::string::npos);
  EXPECT_EQ(text.find("Marker " + std::to_string(shown + 1) + " end"), std::string::npos);
}

}  // namespace
}  // namespace tvrn
