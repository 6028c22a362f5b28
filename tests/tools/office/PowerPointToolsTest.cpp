#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/office/OfficeTestSupport.h"
#include "tools/office/PowerPointDecks.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::callOfficeJson;

// What python3 makes of a deck: the parts zipfile or the XML parser refuse, the relationship
// targets that are missing or have no content type, and each slide's paragraphs in the order of
// the presentation's slide list.
json inspectPptx(const std::string& file) {
  const auto done = Subprocess::run({{"/usr/bin/python3", "-c", R"(
import json, posixpath as pp, sys, zipfile, xml.etree.ElementTree as ET
ns = lambda uri: '{http://schemas.openxmlformats.org/' + uri + '}'
P, A = ns('presentationml/2006/main'), ns('drawingml/2006/main')
R, PR = ns('officeDocument/2006/relationships'), ns('package/2006/relationships')
z = zipfile.ZipFile(sys.argv[1])
bad, parts = [z.testzip()] if z.testzip() else [], {}
for name in z.namelist():
    try: parts[name] = ET.fromstring(z.read(name))
    except ET.ParseError: bad.append(name)
types = parts['[Content_Types].xml']
overrides = {t.get('PartName') for t in types}
def links(part):
    rels = parts.get(pp.join(pp.dirname(part), '_rels', pp.basename(part) + '.rels'))
    return {r.get('Id'): pp.normpath(pp.join(pp.dirname(part), r.get('Target')))
            for r in (rels if rels is not None else []) if r.tag == PR + 'Relationship'}
for part in [''] + list(parts):
    for target in links(part).values():
        if target not in parts or '/' + target not in overrides:
            bad.append(part + ' -> ' + target)
deck = links('ppt/presentation.xml')
slides = [[''.join(t.text or '' for t in p.iter(A + 't')) for p in parts[deck[s.get(R + 'id')]].iter(A + 'p')]
          for s in parts['ppt/presentation.xml'].iter(P + 'sldId')]
print(json.dumps({'bad': bad, 'slides': slides}))
)",
                                      file}});
  EXPECT_EQ(done.exit.status, 0) << done.standardError;
  return json::parse(done.standardOutput, nullptr, false);
}

// A created deck is a sound package in deck order and reads back title and bullets per slide;
// a deck whose entries all lack a title is still sound, with no slides.
TEST(PowerPointToolsTest, CreatedDecksAreSoundAndReadBack) {
  const std::string path = (test::home() / "deck.pptx").string();
  json slides = json::array(), paragraphs = json::array(), read = json::array();
  for (int i = 1; i <= 12; ++i) {
    const std::string n = std::to_string(i);
    const std::string title = i == 3 ? "Q&A <live>" : i == 4 ? "\"a\" > &#169;" : "Slide " + n;
    slides.push_back({{"title", title},
                      {"bullets", i == 5 ? json::array() : json{"point " + n, 42, "x\x01\uFFFF"}}});
    paragraphs.push_back(i == 5 ? json{title, ""} : json{title, "point " + n, "x"});
    read.push_back({{"slide", i}, {"text", i == 5 ? title : title + " point " + n + " x"}});
  }
  slides.push_back({{"bullets", {"no title"}}});
  EXPECT_EQ(callOfficeJson("ppt_create", {{"path", path}, {"slides", {slides[0], slides[12]}}}),
            "Preview \u2014 PowerPoint to be created:\n  Path:   " + path +
                "\n  Slides: 1 (Slide 1)\nCall again with confirm: true to create.");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(callOfficeJson("ppt_create", {{"path", path}, {"slides", slides}, {"confirm", true}}),
            json({{"created", true}, {"path", path}, {"slides", 12}}));
  EXPECT_EQ(inspectPptx(path), json({{"bad", json::array()}, {"slides", paragraphs}}));
  EXPECT_EQ(callOfficeJson("ppt_read", {{"path", path}}), json({{"slides", read}, {"count", 12}}));

  const std::string empty = (test::home() / "empty.pptx").string();
  ASSERT_TRUE(ZipArchive::create(test::home() / "old.pptx",
                                 {{"ppt/presentation.xml", "<p:presentation/>"}}));
  std::filesystem::create_symlink("old.pptx", empty);  // written through, never replaced
  const json untitled = {{{"bullets", {"x"}}}, "not a slide"};
  EXPECT_EQ(callOfficeJson("ppt_create", {{"path", empty}, {"slides", untitled}}),
            "Preview \u2014 PowerPoint to be created:\n  Path:   " + empty +
                "\n  Slides: 0 ()\n  Note:    the existing file at this path will be replaced"
                "\nCall again with confirm: true to create.");
  EXPECT_EQ(
      callOfficeJson("ppt_create", {{"path", empty}, {"slides", untitled}, {"confirm", true}}),
      json({{"created", true}, {"path", empty}, {"slides", 0}}));
  EXPECT_EQ(inspectPptx(empty), json({{"bad", json::array()}, {"slides", json::array()}}));
  EXPECT_TRUE(std::filesystem::is_symlink(empty));
}

// Slide parts are taken by their number, whatever its count of digits; other names follow,
// deeper folders are not slides, and a part that is not text keeps its number. Tags become
// spaces, blanks and tabs collapse, line breaks inside stay and references are decoded.
TEST(PowerPointToolsTest, ReadsSlidesInNumberOrder) {
  std::vector<ZipArchive::Member> members;
  for (int i : {10, 2, 1, 11, 3, 12, 9, 4, 8, 5, 7, 6}) {
    members.push_back({"ppt/slides/slide" + std::to_string(i) + ".xml",
                       "<p:sld><a:t>S" + std::to_string(i) + "</a:t></p:sld>"});
  }
  members.insert(members.end(),
                 {{"ppt/slides/extra.xml",
                   "\n<a:r><a:t>Hel</a:t></a:r><a:r><a:t>lo\t\u00a0 Tom &amp;\nJerry</a:t></a:r>"},
                  {"ppt/slides/slide13.xml", "\xff\xfe not text"},
                  {"ppt/slides/slide14.xml", "<p:pic><a:blip r:embed=\"rId2\"/></p:pic>"},
                  {"ppt/slides/sub/slide0.xml", "<a:t>deeper</a:t>"},
                  {"ppt/slides/_rels/slide1.xml.rels", "<Relationships/>"}});
  const std::string path = (test::home() / "ordered.pptx").string();
  ASSERT_TRUE(ZipArchive::create(path, members));

  json expected = json::array();
  for (int i = 1; i <= 12; ++i)
    expected.push_back({{"slide", i}, {"text", "S" + std::to_string(i)}});
  expected.push_back({{"slide", 14}, {"text", ""}});
  expected.push_back({{"slide", 15}, {"text", "Hel lo Tom &\nJerry"}});
  EXPECT_EQ(callOfficeJson("ppt_read", {{"path", path}}),
            json({{"slides", expected}, {"count", 14}}));
}

TEST(PowerPointToolsTest, RefusesWhatIsNoDeck) {
  const auto pdf = test::home() / "report.pptx";
  test::writeFile(pdf, "%PDF-1.4 not a deck");
  const std::string bare = (test::home() / "bare.pptx").string();
  ASSERT_TRUE(ZipArchive::create(bare, {{"ppt/presentation.xml", "<p:presentation/>"}}));
  const std::string made = (test::home() / "new.pptx").string();
  const auto missing = test::home() / "missing" / "x.pptx";
  const std::vector<std::pair<std::pair<std::string, json>, std::string>> cases = {
      {{"ppt_read", {{"path", pdf}}},
       "failed: Cannot read .pptx at " + pdf.string() + " \u2014 Not a zip archive"},
      {{"ppt_read", {{"path", bare}}},
       "failed: Cannot read .pptx at " + bare + " \u2014 no slides in archive"},
      {{"ppt_read", {{"path", "/no/such.pptx"}}}, "failed: Not found: /no/such.pptx"},
      {{"ppt_create", {{"path", made}, {"slides", json::array()}}},
       "failed: Missing required parameter: slides"},
      {{"ppt_create", {{"path", made}, {"slides", "one"}}},
       "failed: Missing required parameter: slides"},
      {{"ppt_create", {{"path", missing}, {"slides", {{{"title", "t"}}}}, {"confirm", true}}},
       "failed: Cannot write .pptx at " + missing.string() + " \u2014 no such folder"},
  };
  for (const auto& [call, expected] : cases) {
    EXPECT_EQ(test::callOffice(call.first, call.second), expected) << call.second.dump();
  }
  EXPECT_FALSE(std::filesystem::exists(made));
}

}  // namespace
}  // namespace tvrn
