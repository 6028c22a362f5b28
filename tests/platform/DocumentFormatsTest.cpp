#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/TextConverter.h"
#include "platform/ZipArchive.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

TEST(TextConverterTest, RtfText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\\rtf1\\ansi Hello\\par World}", "Hello\nWorld"},
      {"{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator W;}Body}",
       "Body"},
      {"{\\rtf1 {\\info{\\title Secret}}Shown}", "Shown"},
      {"{\\rtf1 na\\'efve \\'80 \\'81}", "na\u00efve \u20ac "},
      {"{\\rtf1\\uc1 \\u8212? and \\u-10179?\\u-8704?}", "\u2014 and \U0001F600"},
      {"{\\rtf1\\uc0 \\u233 x}", "\u00e9x"},
      {"{\\rtf1\\uc2 \\u233\\'3f\\'3fy}", "\u00e9y"},
      {"{\\rtf1 a\\{b\\}c\\\\d\\~e\\tab f\\line g}", "a{b}c\\d\u00a0e\tf\ng"},
      {"{\\rtf1 \\ldblquote q\\rdblquote  \\emdash\\bullet}", "\u201cq\u201d \u2014\u2022"},
      {"{\\rtf1 unbalanced}}}{", "unbalanced"},
  };
  for (const auto& [rtf, expected] : cases) {
    EXPECT_EQ(TextConverter::rtfToText(rtf), expected) << rtf;
  }
}

TEST(TextConverterTest, HtmlText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<p>a</p><p>b</p>", "a\nb\n"},
      {"<body>one<br>two<br><br>three</body>", "one\ntwo\n\nthree"},
      {"<script>var x;</script><p>  spaced   out  </p>", "spaced out\n"},
      {"<table><tr><td>1</td><td>2</td></tr></table>", "1\t2\t\n"},
      {"<pre>keep  this\n too</pre>", "keep  this\n too\n"},
      {"<p>caf&eacute; &amp; &lt;tag&gt;</p>", "caf\u00e9 & <tag>\n"},
  };
  for (const auto& [html, expected] : cases) {
    EXPECT_EQ(TextConverter::htmlToText(html), expected) << html;
  }
}

TEST(TextConverterTest, FilesByFormat) {
  const auto dir = test::home();
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"a.rtf", "{\\rtf1 R}", "R"},
      {"b.htm", "<b>bold</b> text", "bold text"},
      {"c.txt", "\xEF\xBB\xBFplain", "plain"},
      {"d.txt", std::string("\xFF\xFEh\0i\0", 6), "hi"},
      {"e.doc", std::string("\xD0\xCF\x11\xE0\0\0", 6), "error: unsupported document format"},
      {"f.txt", "caf\xE9", "error: unsupported document format"},
  };
  for (const auto& [name, bytes, expected] : cases) {
    test::writeFile(dir / name, bytes);
    const auto text = TextConverter::toPlainText(dir / name);
    EXPECT_EQ(text ? text.value() : "error: " + text.error(), expected) << name;
  }
  EXPECT_FALSE(TextConverter::toPlainText(dir / "missing.txt").ok());
}

TEST(ZipArchiveTest, ReadsCreatesAndReplacesMembers) {
  const auto dir = test::home() / "zips";
  const auto file = dir / "pack.zip";
  ASSERT_TRUE(
      ZipArchive::create(file, {{"a.txt", "first"}, {"dir/b.bin", std::string(100000, 'b')}}));
  EXPECT_EQ(ZipArchive::readMember(file, "a.txt").value(), "first");
  EXPECT_EQ(ZipArchive::readMember(file, "dir/b.bin").value(), std::string(100000, 'b'));
  EXPECT_FALSE(ZipArchive::readMember(file, "none").ok());

  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(ZipArchive::replaceMember(file, {"a.txt", "second"}));
  ASSERT_TRUE(ZipArchive::replaceMember(file, {"new.txt", "added"}));
  EXPECT_EQ(ZipArchive::readMember(file, "a.txt").value(), "second");
  EXPECT_EQ(ZipArchive::readMember(file, "new.txt").value(), "added");
  EXPECT_EQ(ZipArchive::readMember(file, "dir/b.bin").value(), std::string(100000, 'b'));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  ASSERT_TRUE(ZipArchive::create(file, {{"only.txt", "x"}}));
  EXPECT_FALSE(ZipArchive::readMember(file, "a.txt").ok());
  EXPECT_EQ(test::namesIn(dir), std::vector<std::string>{"pack.zip"});
}

TEST(ZipArchiveTest, SomethingElseIsNotAnArchive) {
  const auto file = test::home() / "text.zip";
  test::writeFile(file, "PK but not really a zip file at all");
  EXPECT_FALSE(ZipArchive::readMember(file, "a").ok());
  EXPECT_FALSE(ZipArchive::replaceMember(file, {"a", "b"}).ok());
  EXPECT_EQ(test::readFile(file), "PK but not really a zip file at all");
  EXPECT_FALSE(ZipArchive::readMember(test::home() / "missing.zip", "a").ok());
}

}  // namespace
}  // namespace tvrn
