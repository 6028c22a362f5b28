#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/OfficeTestSupport.h"
#include "tools/PowerPointDecks.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::callOffice;

// What python3 makes of a deck: whether zipfile finds it sound, the parts that are not
// well-formed XML, the relationship targets that are missing or have no content type, and the
// text of each slide's paragraphs in deck order (following the presentation's slide list).
std::optional<json> inspectPptx(const std::filesystem::path& file) {
  static constexpr const char* kScript = R"(
import json, posixpath, sys, zipfile
import xml.etree.ElementTree as ET
P = '{http://schemas.openxmlformats.org/presentationml/2006/main}'
R = '{http://schemas.openxmlformats.org/officeDocument/2006/relationships}'
A = '{http://schemas.openxmlformats.org/drawingml/2006/main}'
PR = '{http://schemas.openxmlformats.org/package/2006/relationships}'
CT = '{http://schemas.openxmlformats.org/package/2006/content-types}'
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    names = z.namelist()
    parts, malformed = {}, []
    for name in names:
        try:
            parts[name] = ET.fromstring(z.read(name))
        except ET.ParseError:
            malformed.append(name)
types = parts['[Content_Types].xml']
defaults = {d.get('Extension') for d in types.iter(CT + 'Default')}
overrides = {o.get('PartName').lstrip('/') for o in types.iter(CT + 'Override')}
def rels_of(part):
    folder, base = posixpath.split(part)
    rels = parts.get(posixpath.join(folder, '_rels', base + '.rels'))
    if rels is None:
        return {}
    return {r.get('Id'): posixpath.normpath(posixpath.join(folder, r.get('Target')))
            for r in rels.iter(PR + 'Relationship')}
broken = []
for name in names:
    if not name.endswith('.rels'):
        continue
    folder = posixpath.dirname(posixpath.dirname(name))
    source = posixpath.join(folder, posixpath.basename(name)[:-5])
    for target in rels_of(source).values():
        typed = target in overrides or target.rsplit('.', 1)[-1] in defaults
        if target not in names or not typed:
            broken.append(target)
presentation = 'ppt/presentation.xml'
links = rels_of(presentation)
slides = []
for entry in parts[presentation].iter(P + 'sldId'):
    slide = parts[links[entry.get(R + 'id')]]
    slides.append([''.join(t.text or '' for t in p.iter(A + 't')) for p in slide.iter(A + 'p')])
print(json.dumps({'bad': bad, 'malformed': malformed, 'broken': broken, 'slides': slides}))
)";
  const auto done = Subprocess::run({{"/usr/bin/python3", "-c", kScript, file.string()}});
  if (!done.launched || done.exit.status != 0) {
    ADD_FAILURE() << done.standardError;
    return std::nullopt;
  }
  return json::parse(done.standardOutput);
}

// A created deck is a sound package in deck order, and reads back title and bullets per slide.
TEST(PowerPointToolsTest, CreatedDeckIsSoundAndReadsBack) {
  const std::string path = (test::home() / "deck.pptx").string();
  json slides = json::array();
  json expectedParagraphs = json::array();
  json expectedRead = json::array();
  for (int i = 1; i <= 12; ++i) {
    const std::string title = "Slide " + std::to_string(i) + (i == 3 ? " Q&A <live>" : "");
    json bullets =
        i == 5 ? json::array() : json{"point " + std::to_string(i), 42, "more\x01\uFFFF"};
    slides.push_back({{"title", title}, {"bullets", bullets}});
    expectedParagraphs.push_back(i == 5 ? json{title, ""}
                                        : json{title, "point " + std::to_string(i), "more"});
    const std::string escapedTitle = i == 3 ? "Slide 3 Q&amp;A &lt;live&gt;" : title;
    expectedRead.push_back(
        {{"slide", i},
         {"text", i == 5 ? escapedTitle : escapedTitle + " point " + std::to_string(i) + " more"}});
  }
  slides.push_back({{"bullets", {"no title"}}});

  EXPECT_EQ(callOffice("ppt_create", {{"path", path}, {"slides", json{slides[0], slides[12]}}}),
            "Preview \u2014 PowerPoint to be created:\n  Path:   " + path +
                "\n  Slides: 1 (Slide 1)\nCall again with confirm: true to create.");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(json::parse(
                callOffice("ppt_create", {{"path", path}, {"slides", slides}, {"confirm", true}})),
            json({{"created", true}, {"path", path}, {"slides", 12}}));

  const auto package = inspectPptx(path);
  ASSERT_TRUE(package);
  EXPECT_EQ((*package)["bad"], nullptr);
  EXPECT_EQ((*package)["malformed"], json::array());
  EXPECT_EQ((*package)["broken"], json::array());
  EXPECT_EQ((*package)["slides"], expectedParagraphs);
  EXPECT_EQ(test::callOfficeJson("ppt_read", {{"path", path}}),
            json({{"slides", expectedRead}, {"count", 12}}));
}

TEST(PowerPointToolsTest, EmptyDeckIsStillSound) {
  const std::string path = (test::home() / "empty.pptx").string();
  const json untitled = {{{"bullets", {"x"}}}, "not a slide"};
  EXPECT_EQ(callOffice("ppt_create", {{"path", path}, {"slides", untitled}}),
            "Preview \u2014 PowerPoint to be created:\n  Path:   " + path +
                "\n  Slides: 0 ()\nCall again with confirm: true to create.");
  EXPECT_EQ(json::parse(callOffice("ppt_create",
                                   {{"path", path}, {"slides", untitled}, {"confirm", true}})),
            json({{"created", true}, {"path", path}, {"slides", 0}}));
  const auto package = inspectPptx(path);
  ASSERT_TRUE(package);
  EXPECT_EQ((*package)["malformed"], json::array());
  EXPECT_EQ((*package)["broken"], json::array());
  EXPECT_EQ((*package)["slides"], json::array());
  EXPECT_EQ(test::callOfficeJson("ppt_read", {{"path", path}}),
            "failed: Cannot read .pptx at " + path + " \u2014 no slides in archive");
}

// Slide parts are taken in deck order by their number, whatever their count of digits; other
// names follow, deeper folders are not slides, and a part that is not text keeps its number.
TEST(PowerPointToolsTest, ReadsSlidesInNumberOrder) {
  std::vector<ZipArchive::Member> members;
  for (int i : {10, 2, 1, 11, 3, 12, 9, 4, 8, 5, 7, 6}) {
    members.push_back({"ppt/slides/slide" + std::to_string(i) + ".xml",
                       "<p:sld><a:t>S" + std::to_string(i) + "</a:t></p:sld>"});
  }
  members.push_back({"ppt/slides/extra.xml", "<a:t>extra</a:t>"});
  members.push_back({"ppt/slides/slide13.xml", "\xff\xfe bad"});
  members.push_back({"ppt/slides/sub/slide0.xml", "<a:t>deeper</a:t>"});
  members.push_back({"ppt/slides/_rels/slide1.xml.rels", "<Relationships/>"});
  const std::string path = (test::home() / "ordered.pptx").string();
  ASSERT_TRUE(ZipArchive::create(path, members));

  json expected = json::array();
  for (int i = 1; i <= 12; ++i)
    expected.push_back({{"slide", i}, {"text", "S" + std::to_string(i)}});
  expected.push_back({{"slide", 14}, {"text", "extra"}});
  EXPECT_EQ(test::callOfficeJson("ppt_read", {{"path", path}}),
            json({{"slides", expected}, {"count", 13}}));
}

TEST(PowerPointToolsTest, SlideTextKeepsWordsAndLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<a:r><a:t>Hel</a:t></a:r><a:r><a:t>lo</a:t></a:r>", "Hel lo"},
      {"<p:pic><a:blip r:embed=\"rId2\"/></p:pic>", ""},
      {"<a:t>Tom &amp; Jerry</a:t>", "Tom &amp; Jerry"},
      {"\n<a:t>one\ttwo\u00a0 three\nfour</a:t>\n", "one two three\nfour"},
      {"<a:t>a < b</a:t><>", "a <>"},
  };
  for (const auto& [xml, expected] : cases) {
    EXPECT_EQ(PowerPointDecks::slideText(xml), expected) << xml;
  }
}

TEST(PowerPointToolsTest, RefusesWhatIsNoDeck) {
  const auto pdf = test::home() / "report.pptx";
  test::writeFile(pdf, "%PDF-1.4 not a deck");
  const std::string made = (test::home() / "new.pptx").string();
  const std::vector<std::pair<std::pair<std::string, json>, std::string>> cases = {
      {{"ppt_read", {{"path", pdf.string()}}},
       "failed: Cannot read .pptx at " + pdf.string() + " \u2014 Not a zip archive"},
      {{"ppt_read", {{"path", "/no/such.pptx"}}}, "failed: Not found: /no/such.pptx"},
      {{"ppt_read", {{"path", " "}}}, "failed: Invalid 'path': expected non-empty string"},
      {{"ppt_create", {{"path", made}, {"slides", json::array()}}},
       "failed: Missing required parameter: slides"},
      {{"ppt_create", {{"path", made}, {"slides", "one"}}},
       "failed: Missing required parameter: slides"},
      {{"ppt_create",
        {{"path", (test::home() / "missing" / "x.pptx").string()},
         {"slides", {{{"title", "t"}}}},
         {"confirm", true}}},
       "failed: Cannot write .pptx at " + (test::home() / "missing" / "x.pptx").string() +
           " \u2014 no such folder"},
  };
  for (const auto& [call, expected] : cases) {
    EXPECT_EQ(callOffice(call.first, call.second), expected) << call.second.dump();
  }
  EXPECT_FALSE(std::filesystem::exists(made));
}

}  // namespace
}  // namespace tvrn
