#include <gtest/gtest.h>

#include <string>

#include "base/TextLines.h"

namespace tvrn {
namespace {

// Each content line of the text unfolded, followed by the end of its last line ("|CRLF", "|LF",
// "|CR", "|" for none), the lines parted by blanks.
std::string contentLines(const std::string& text) {
  std::string found;
  for (size_t at = TextLines::bomLength(text); at < text.size();) {
    const size_t to = TextLines::contentEnd(text, at);
    const std::string line = text.substr(at, to - at);
    const char* end = line.ends_with("\r\n") ? "CRLF"
                      : line.ends_with('\n') ? "LF"
                      : line.ends_with('\r') ? "CR"
                                             : "";
    found += (found.empty() ? "" : " ") + TextLines::unfolded(text, at, to) + "|" + end;
    at = to;
  }
  return found;
}

TEST(TextLinesTest, EveryLineEndIsALineEndAndFoldsJoinTheirLine) {
  const std::string longLine = "A:" + std::string(90, 'x');
  const struct {
    const char* writer;
    std::string text, lines, normalized;
  } cases[] = {
      {"CRLF", "A:1\r\nB:2\r\n", "A:1|CRLF B:2|CRLF", "A:1\r\nB:2\r\n"},
      {"LF, no end to the last line", "A:1\nB:2", "A:1|LF B:2|", "A:1\r\nB:2\r\n"},
      {"bare CRs, a line past 75 octets", longLine + "\rB:2\r", longLine + "|CR B:2|CR",
       longLine + "\r\nB:2\r\n"},
      {"a stray CR in an LF file", "A:1\rB:2\n", "A:1|CR B:2|LF", "A:1\r\nB:2\r\n"},
      {"a byte order mark", "\xEF\xBB\xBFX:1\r\n", "X:1|CRLF", "X:1\r\n"},
      {"folds after each kind of end", "A:1\r\n 2\n\t3\r 4\rB:5\r\n", "A:1234|CR B:5|CRLF",
       "A:1\r\n 2\r\n\t3\r\n 4\r\nB:5\r\n"},
      {"CRs before an LF, a CRLF file converted again", "A:1\r\r\n 2\r\r\nB:3\r\rC:4",
       "A:12|CRLF B:3|CR |CR C:4|", "A:1\r\n 2\r\nB:3\r\n\r\nC:4\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(contentLines(c.text), c.lines) << c.writer;
    EXPECT_EQ(TextLines::normalized(c.text), c.normalized) << c.writer;
  }
  EXPECT_EQ(TextLines::firstEnd("A:1\rB:2\r\n"), "\r");
  EXPECT_EQ(TextLines::firstEnd("A:1"), "\r\n");
  EXPECT_EQ(TextLines::numberAt("A\rB\r\nC\nD", 7), 4u);
}

}  // namespace
}  // namespace tvrn
