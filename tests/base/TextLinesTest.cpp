#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/TextLines.h"

namespace tvrn {
namespace {

// Each content line of the text unfolded, with the end of its last line as "|CRLF", "|LF",
// "|CR" or "|" for none; then the form the readers are handed.
struct Case {
  const char* writer;
  std::string text;
  std::vector<std::string> lines;
  std::string normalized;
};

std::vector<std::string> contentLines(const std::string& text) {
  std::vector<std::string> found;
  for (size_t at = TextLines::bomLength(text); at < text.size();) {
    const size_t to = TextLines::contentEnd(text, at);
    std::string end = text.substr(at, to - at);
    end = end.size() >= 2 && end.substr(end.size() - 2) == "\r\n" ? "CRLF"
          : !end.empty() && end.back() == '\n'                    ? "LF"
          : !end.empty() && end.back() == '\r'                    ? "CR"
                                                                  : "";
    found.push_back(TextLines::unfolded(text, at, to) + "|" + end);
    at = to;
  }
  return found;
}

TEST(TextLinesTest, EveryLineEndIsALineEndAndFoldsJoinTheirLine) {
  const Case cases[] = {
      {"CRLF", "A:1\r\nB:2\r\n", {"A:1|CRLF", "B:2|CRLF"}, "A:1\r\nB:2\r\n"},
      {"LF, no end to the last line", "A:1\nB:2", {"A:1|LF", "B:2|"}, "A:1\r\nB:2\r\n"},
      {"bare CRs, a line past 75 octets",
       "A:" + std::string(90, 'x') + "\rB:2\r",
       {"A:" + std::string(90, 'x') + "|CR", "B:2|CR"},
       "A:" + std::string(90, 'x') + "\r\nB:2\r\n"},
      {"a stray CR in an LF file",
       "A:1\rB:2\nC:3\n",
       {"A:1|CR", "B:2|LF", "C:3|LF"},
       "A:1\r\nB:2\r\nC:3\r\n"},
      {"a byte order mark",
       "\xEF\xBB\xBF"
       "A:1\r\n",
       {"A:1|CRLF"},
       "A:1\r\n"},
      {"folds after each kind of end",
       "A:1\r\n 2\n\t3\r 4\rB:5\r\n",
       {"A:1234|CR", "B:5|CRLF"},
       "A:1\r\n 2\r\n\t3\r\n 4\r\nB:5\r\n"},
      {"a CR and a CRLF are two ends",
       "A:1\r\r\nB:2",
       {"A:1|CR", "|CRLF", "B:2|"},
       "A:1\r\n\r\nB:2\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(contentLines(c.text), c.lines) << c.writer;
    EXPECT_EQ(TextLines::normalized(c.text), c.normalized) << c.writer;
  }
  EXPECT_EQ(TextLines::firstEnd("A:1\rB:2\r\n"), "\r");
  EXPECT_EQ(TextLines::firstEnd("A:1"), "\r\n");
  EXPECT_EQ(TextLines::numberAt("A\rB\r\nC\nD", 7), 4u);
}

}  // namespace
}  // namespace tvrn
