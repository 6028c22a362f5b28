#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TextConverter.h"

namespace tvrn {
namespace {

// Whole files (HTML, plain text, binary) are read through word_read's tests; these are the RTF
// forms a word processor writes.
TEST(TextConverterTest, RtfText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0;}{\\*\\generator W;}A\\par B}", "A\nB"},
      {"{\\rtf1 {\\info{\\title Secret}}Shown}", "Shown"},
      {"{\\rtf1 na\\'efve \\'80 \\'81}", "na\u00efve \u20ac "},
      {"{\\rtf1\\uc1 \\u8212? and \\u-10179?\\u-8704?}", "\u2014 and \U0001F600"},
      {"{\\rtf1\\uc0 \\u233 x}", "\u00e9x"},
      {"{\\rtf1\\uc2 \\u233\\'3f\\'3fy}", "\u00e9y"},
      {"{\\rtf1 a\\{b\\}c\\\\d\\~e\\tab f\\line g}", "a{b}c\\d\u00a0e\tf\ng"},
      {"{\\rtf1 \\ldblquote q\\rdblquote  \\emdash}", "\u201cq\u201d \u2014"},
      {"{\\rtf1 unbalanced}}}{", "unbalanced"},
  };
  for (const auto& [rtf, expected] : cases) {
    EXPECT_EQ(TextConverter::rtfToText(rtf), expected) << rtf;
  }
}

}  // namespace
}  // namespace tvrn
