#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pugixml.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/office/ExcelWorkbooks.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::callOfficeJson;

const std::string kSheetNamespaces =
    " xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";

std::string worksheet(const std::string& rows) {
  return "<worksheet" + kSheetNamespaces + "<sheetData>" + rows + "</sheetData></worksheet>";
}

std::string workbook(const std::string& sheets) {
  return "<workbook" + kSheetNamespaces + "<sheets>" + sheets + "</sheets></workbook>";
}

// A package holding just the parts a reader looks at; `members` replace the default one-sheet
// workbook's parts of the same name or add to them.
std::string xlsx(const std::string& name, std::vector<ZipArchive::Member> members) {
  const std::vector<ZipArchive::Member> defaults = {
      {"xl/workbook.xml", workbook("<sheet name=\"Data\" r:id=\"rId1\"/>")},
      {"xl/_rels/workbook.xml.rels",
       "<Relationships><Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>"
       "</Relationships>"},
      {"xl/worksheets/sheet1.xml", worksheet("")}};
  for (const auto& member : defaults) {
    if (std::none_of(members.begin(), members.end(),
                     [&](const auto& given) { return given.name == member.name; })) {
      members.push_back(member);
    }
  }
  EXPECT_TRUE(ZipArchive::create(test::home() / name, members));
  return (test::home() / name).string();
}

void useSystemPython() { ::setenv(OfficeServices::kPythonVariable, "/usr/bin/python3", 1); }

// A workbook as openpyxl writes it: inline strings, absolute Targets, Id after Target.
TEST(ExcelToolsTest, ReadsWorkbooksWrittenByOpenpyxl) {
  const std::string path = (test::home() / "book.xlsx").string();
  const auto done = Subprocess::run({{"/usr/bin/python3", "-c", R"(
import sys, openpyxl
wb = openpyxl.Workbook()
wb.active.title = 'Data'
for row in (['Name', 'Count', 'Done'], ['Tea & cake', 3, True], ['<hot>', 2.5, False]):
    wb.active.append(row)
wb.active['E3'] = 'far'
wb.create_sheet('R&D').append(['lab', 'line one\nline two'])
wb.save(sys.argv[1]))",
                                      path}});
  ASSERT_EQ(done.exit.status, 0) << done.standardError;
  const std::string data =
      R"([["Name","Count","Done"],["Tea & cake","3","TRUE"],["<hot>","2.5","FALSE","","far"]])";
  // A sheet that is not there: the first is read, and the note says which.
  const auto readInstead = [](const std::string& name) {
    return R"(,"note":"No sheet named ')" + name + "' \u2014 read sheet 'Data'\"";
  };
  // Rows holding data that the limit left out are counted, as a listing counts them.
  const auto leftOut = [](const std::string& asked, const std::string& rows,
                          const std::string& first = "") {
    const bool one = asked == "1";
    return R"(,"truncated":true,"note":")" + first + "Only the first " +
           (one ? "row is" : asked + " rows are") + " listed; " + rows + " rows after " +
           (one ? "it" : "them") +
           " holding data were left out. To see them, ask for a higher limit (max_rows)\"";
  };
  const std::vector<std::pair<json, std::string>> cases = {
      {{}, R"("Data","rows":)" + data},
      {{{"sheet_name", "R&D"}}, R"("R&D","rows":[["lab","line one\nline two"]])"},
      {{{"sheet_name", "r&d"}, {"max_rows", "2"}}, R"("Data","rows":)" + data + readInstead("r&d")},
      {{{"sheet_name", "Missing"}, {"max_rows", 1}},
       R"("Data","rows":[["Name","Count","Done"]])" +
           leftOut("1", "2", "No sheet named 'Missing' \u2014 read sheet 'Data'. ")},
      {{{"max_rows", 0}}, R"("Data","rows":[])" + leftOut("0", "3")},
      {{{"max_rows", -3}}, R"("Data","rows":[])" + leftOut("0", "3")},
  };
  for (auto [arguments, expected] : cases) {
    arguments["path"] = path;
    json read = callOfficeJson("excel_read", arguments);
    EXPECT_EQ(read["count"], read["rows"].size());
    read.erase("count");
    EXPECT_EQ(read, json::parse(R"({"sheets":["Data","R&D"],"sheet":)" + expected + "}"))
        << arguments.dump();
  }
}

// Rows and cells in every shape the format allows, each at its own position.
TEST(ExcelToolsTest, CellsLandInTheirColumns) {
  constexpr int kDepth = 100000;  // nesting far deeper than any stack would take
  std::string nested;
  for (int i = 0; i < kDepth; ++i) nested += "<r>";
  nested += "<t>deep</t>";
  for (int i = 0; i < kDepth; ++i) nested += "</r>";
  const ZipArchive::Member strings = {
      "xl/sharedStrings.xml",
      "<sst><si><t>zero</t></si><si><r><t>two </t></r><r><t>runs</t></r></si><si/>"
      "<si><t>&amp;lt;</t></si><si>" +
          nested + "</si></sst>"};
  std::string edgeRow = "[[";
  for (int column = 0; column < ExcelWorkbooks::kLastColumn; ++column) edgeRow += "\"\",";
  edgeRow += "\"edge\"]]";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<row/><row><c r=\"A2\"><v>1</v></c></row><row/>", R"([[],["1"],[]])"},
      {"<row><c r=\"B1\" s=\"1\"/><c r=\"C1\" t=\"s\"><v>0</v></c></row>", R"([["","","zero"]])"},
      {"<row><c s=\"2\" t=\"s\" r=\"B1\"><v>1</v></c></row>", R"([["","two runs"]])"},
      {"<row><c r=\"B1\"><v>b</v></c><c><v>c</v></c><c t=\"b\"><v>1</v></c></row>",
       R"([["","b","c","TRUE"]])"},
      {"<row><c r=\"AAAAAAAAAAAAAAAAAAAA1\"><v>far</v></c><c><v>after</v></c>"
       "<c r=\"XFE1\"><v>over</v></c><c r=\"a1\"><v>near</v></c></row>",
       R"([["near"]])"},
      {"<row><c t=\"s\"><v>3</v></c><c t=\"inlineStr\"><is><t>&amp;amp;</t><t>&#65;</t></is></c>"
       "<c t=\"s\"><v>4</v></c><c t=\"s\"><v>5</v></c><c t=\"s\"><v>-1</v></c>"
       "<c t=\"b\"><v>0</v></c><c t=\"s\"><v>2</v></c><c><f>1+1</f><v>2</v></c>"
       "<c><v>line\none</v></c><c t=\"inlineStr\"><is><t xml:space=\"preserve\"> </t></is></c>"
       "</row>",
       R"([["&lt;","&amp;A","deep","5","-1","FALSE","","2","line\none"," "]])"},
      {"<row><c r=\"XFD1\"><v>edge</v></c></row>", edgeRow},
      // A later cell clears a column the row reaches, but an empty one never widens the row.
      {"<row><c r=\"A1\"><v>x</v></c><c r=\"B1\"><v>y</v></c><c r=\"A1\" s=\"1\"/>"
       "<c r=\"C1\" t=\"s\"><v>2</v></c><c r=\"D1\" t=\"b\"/></row>",
       R"([["","y"]])"},
  };
  for (const auto& [rows, expected] : cases) {
    const std::string path =
        xlsx("cells.xlsx", {{"xl/worksheets/sheet1.xml", worksheet(rows)}, strings});
    EXPECT_EQ(callOfficeJson("excel_read", {{"path", path}})["rows"], json::parse(expected))
        << rows;
  }
}

// Rows as spreadsheet programs write them: each carries its own number, and the empty rows
// between them are left out of the file. Every row comes back at its place, the empty ones as
// empty rows, and the row limit counts places.
TEST(ExcelToolsTest, RowsKeepTheirPlaces) {
  const ZipArchive::Member strings = {"xl/sharedStrings.xml",
                                      "<sst><si/><si><t>one</t></si></sst>"};
  const auto row = [](const std::string& number, const std::string& value) {
    const std::string r = number.empty() ? "" : " r=\"" + number + "\"";
    return "<row" + r + " spans=\"1:3\"><c r=\"B" + number + "\"><v>" + value + "</v></c></row>";
  };
  const std::string shared = "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>1</v></c></row>";
  const std::string inlined =
      "<row r=\"4\"><c r=\"C4\" t=\"inlineStr\"><is><t>4</t></is></c></row>";
  // The rows, the row limit, the rows read and the note on the rows the limit left out.
  struct Case {
    std::string rows;
    int maxRows;
    std::string expected;
    std::string note = "";
  };
  const auto leftOne = [](const std::string& listed) {
    return "Only the first " + listed + " listed; 1 row after " +
           (listed == "row is" ? "it" : "them") +
           " holding data was left out. To see it, ask for a higher limit (max_rows)";
  };
  const std::vector<Case> cases = {
      // clang-format off
      {shared + inlined + row("7", "7"), 100, R"([[],["one"],[],["","","4"],[],[],["","7"]])"},
      // Rows without a usable number follow the one before.
      {row("", "a") + row("3", "c") + row("", "d") + "<row/>" + row("7", "g"), 100,
       R"([["","a"],[],["","c"],["","d"],[],[],["","g"]])"},
      {row("0", "z") + row("+5", "p") + row("-2", "x") + row("1048577", "o") + row("6", "f"), 100,
       R"([["","z"],["","p"],["","x"],["","o"],[],["","f"]])"},
      {row("3", "c") + row("2", "b") + row("3", "d") + row("7", "g"), 100,
       R"([[],[],["","c"],["","b"],["","d"],[],["","g"]])"},
      {row("1", "a") + row("9", "i"), 5, R"([["","a"]])", leftOne("row is")},  // inside a gap
      {row("1", "a") + row("2", "b") + row("9", "i"), 5, R"([["","a"],["","b"]])",
       leftOne("2 rows are")},
      {shared + row("3", "c") + inlined, 3, R"([[],["one"],["","c"]])", leftOne("3 rows are")},
      // clang-format on
  };
  for (const auto& [rows, maxRows, expected, note] : cases) {
    const std::string path =
        xlsx("places.xlsx", {{"xl/worksheets/sheet1.xml", worksheet(rows)}, strings});
    const json read = callOfficeJson("excel_read", {{"path", path}, {"max_rows", maxRows}});
    EXPECT_EQ(read["rows"], json::parse(expected)) << rows;
    EXPECT_EQ(read.value("note", ""), note) << rows;
    EXPECT_EQ(read.contains("truncated"), !note.empty()) << rows;
  }
}

// The sheet is read only as far as the rows asked for, and the shared strings only as far as the
// last one they name: damage past that point goes unseen, damage before it is reported.
TEST(ExcelToolsTest, ReadsOnlyAsFarAsTheRowsAskedFor) {
  const std::string strings =
      "<sst><si><t>zero</t></si><si><t>one</t></si><si><t>two</t></si><si><t>cut";
  const std::string rows =
      "<row><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>2</v></c></row>"
      "<row><c r=\"A2\" t=\"s\"><v>1</v></c><c r=\"A2\"><v>plain</v></c>"
      "<c r=\"B2\"><v>x</v></c><c r=\"B2\" t=\"s\"><v>1</v></c></row>"
      "<row><c r=\"A3\" t=\"s\"><v>3</v></c></row>";
  // More than one inflated block: the text crosses block boundaries mid-character.
  std::string wide;
  for (int i = 0; i < 50000; ++i) wide += "\u00e9\u20ac";
  const std::string prefixed =
      "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<x:sheetData><x:row><x:c r=\"B1\" t=\"s\"><x:v>1</x:v></x:c></x:row></x:sheetData>"
      "</x:worksheet>";
  struct Case {
    std::string sheet;
    json maxRows;
    json expected;
  };
  const std::string badByte = "<row><c><v>ok</v></c></row><row><c><v>\xff</v></c></row>";
  const std::vector<Case> cases = {
      {worksheet(rows + "<row><c><v>after"), 2, json::parse(R"([["zero","two"],["plain","one"]])")},
      {worksheet(rows + "<row><c><v>after"), 4, "failed: Cannot read worksheet XML"},
      // Index 3 lies in the damaged end of the table, so no entry of it is used.
      {worksheet(rows), 3, json::parse(R"([["0","2"],["plain","1"],["3"]])")},
      {worksheet(badByte), 1, json::parse(R"([["ok"]])")},
      {worksheet(badByte), 2, "failed: Cannot read worksheet XML"},
      {worksheet("<row><c t=\"inlineStr\"><is><t>" + wide + "</t></is></c></row><row/>"), 5,
       json::array({json::array({wide}), json::array()})},
      {prefixed, 5, json::parse(R"([["","one"]])")},
      // What follows the rows is never read; a tag no real part comes near is refused.
      {"<worksheet" + kSheetNamespaces + "<sheetData>" + rows + "</sheetData><mergeCells><mergeC",
       5, json::parse(R"([["0","2"],["plain","1"],["3"]])")},
      {worksheet("<row><c r=\"A1\" s=\"" + std::string(2 << 20, '1') + "\"/></row>"), 1,
       "failed: Cannot read worksheet XML"},
  };
  for (const auto& [sheet, maxRows, expected] : cases) {
    const std::string path = xlsx(
        "partial.xlsx", {{"xl/worksheets/sheet1.xml", sheet}, {"xl/sharedStrings.xml", strings}});
    const json read = callOfficeJson("excel_read", {{"path", path}, {"max_rows", maxRows}});
    EXPECT_EQ(read.is_object() ? read["rows"] : read, expected)
        << sheet.substr(0, 200) << " " << maxRows;
  }
}

// `count` rows as spreadsheet programs write them, each holding what `cells` gives for its
// number, after the extent and view that precede the rows.
std::string sheetOfRows(int count, const std::function<std::string(const std::string&)>& cells) {
  std::string rows;
  for (int row = 1; row <= count; ++row) {
    const std::string r = std::to_string(row);
    rows += "<row r=\"" + r + "\" spans=\"1:16384\">" + cells(r) + "</row>";
  }
  return "<worksheet" + kSheetNamespaces + "<dimension ref=\"A1:XFD" + std::to_string(count) +
         "\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews><sheetData>" + rows +
         "</sheetData></worksheet>";
}

std::string sharedItems(const std::vector<std::string>& items) {
  std::string table = "<sst" + kSheetNamespaces;
  for (const auto& item : items) table += "<si><t>" + item + "</t></si>";
  return table + "</sst>";
}

// A sheet read in one reply, and what the reply must hold.
struct LimitCase {
  std::string name;
  std::string sheet;
  std::vector<std::string> strings;
  json maxRows;  // null: the default
  std::size_t count;
  std::size_t leftOut;
  json firstRow;  // null: not looked at
};

// Each sheet read within 10 MiB as sent: a reply stops at a whole row (its text escaped inside
// the message), saying how many of the rows asked for it left out.
void expectRepliesWithinLimits(const std::vector<LimitCase>& cases) {
  constexpr std::size_t kMaxReply = std::size_t{10} * 1024 * 1024;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ZipArchive::Member> members = {{"xl/worksheets/sheet1.xml", c.sheet}};
    if (!c.strings.empty()) members.push_back({"xl/sharedStrings.xml", sharedItems(c.strings)});
    const std::string path = xlsx("limits.xlsx", members);
    json arguments = {{"path", path}};
    if (!c.maxRows.is_null()) arguments["max_rows"] = c.maxRows;
    const std::string text = test::textOf(test::callOfficeTool("excel_read", arguments));
    EXPECT_LE(json(text).dump().size(), kMaxReply);
    const json read = json::parse(text, nullptr, false);
    ASSERT_TRUE(read.is_object()) << text.substr(0, 200);
    EXPECT_EQ(read["count"], c.count);
    EXPECT_EQ(read["rows"].size(), c.count);
    EXPECT_EQ(read.contains("truncated"), c.leftOut > 0);
    if (c.leftOut == 0) {
      EXPECT_FALSE(read.contains("note"));
    } else {
      EXPECT_EQ(read["note"], "Stopped at the size limit of one reply (10 MiB); rows left out: " +
                                  std::to_string(c.leftOut));
    }
    if (!c.firstRow.is_null() && c.count > 0) {
      EXPECT_EQ(read["rows"][0], c.firstRow);
    }
  }
}

// Sheets that cost far more than they hold: cells without a value do not widen a row.
TEST(ExcelToolsTest, RepliesStayWithinTheirLimits) {
  const auto styledAtTheEnd = [](const std::string& r) {
    return "<c r=\"XFD" + r + "\" s=\"1\"/>";
  };
  // Without references (each cell then takes the next column), which also keeps the fixture
  // quick to compress.
  const auto thousandStyled = [](const std::string&) {
    std::string cells;
    for (int column = 0; column < 1000; ++column) cells += "<c s=\"2\"/>";
    return cells;
  };
  const auto emptyAfterAValue = [](const std::string& r) {
    return "<c r=\"A" + r + "\" t=\"s\"><v>0</v></c><c r=\"B" + r + "\" s=\"3\"/><c r=\"C" + r +
           "\" t=\"inlineStr\"><is><t></t></is></c><c r=\"XFD" + r + "\" s=\"3\"><v></v></c>";
  };
  const auto valueAtTheEnd = [](const std::string& r) {
    return "<c r=\"XFD" + r + "\"><v>1</v></c>";
  };
  const std::vector<LimitCase> cases = {
      {"styled at XFD", sheetOfRows(400, styledAtTheEnd), {}, nullptr, 100, 0, json::array()},
      {"5,000 styled at XFD", sheetOfRows(5000, styledAtTheEnd), {}, 5000, 5000, 0, json::array()},
      {"a million styled", sheetOfRows(1000, thousandStyled), {}, 1000000, 1000, 0, json::array()},
      {"empty after a value", sheetOfRows(3, emptyAfterAValue), {"first"}, 3, 3, 0, {"first"}},
      {"16,384 cells a row", sheetOfRows(100, valueAtTheEnd), {}, nullptr, 49, 51, nullptr},
  };
  expectRepliesWithinLimits(cases);
  // The few kilobytes that the first two sheets are.
  const std::string small = xlsx("small.xlsx", {{"xl/worksheets/sheet1.xml", cases[0].sheet}});
  EXPECT_LT(std::filesystem::file_size(small), 3000u);
}

// Sheets larger than one reply, by their escaped text, their shared strings or one value.
TEST(ExcelToolsTest, RepliesStopAtTheirSizeLimit) {
  const std::string mebibyte(std::size_t{1} << 20, 'x');
  const std::string quotes(600 * 1024, '"');  // four times as long as sent
  const auto escaped = [&](const std::string& r) {
    return "<c r=\"A" + r + "\" t=\"inlineStr\"><is><t>" + quotes + "</t></is></c>";
  };
  const auto sharedByRow = [](const std::string& r) {
    return "<c r=\"A" + r + "\" t=\"s\"><v>" + std::to_string(std::stoi(r) - 1) + "</v></c>";
  };
  const auto tooLargeFirst = [&](const std::string& r) {
    return "<c r=\"A" + r + "\" t=\"inlineStr\"><is><t>" + mebibyte + "</t>" +
           (r == "1" ? "<t>" + std::string(10 << 20, 'x') + "</t>" : "") + "</is></c>";
  };
  const std::string fourMebibytes = mebibyte + mebibyte + mebibyte + mebibyte;
  const std::vector<std::string> largeStrings = {fourMebibytes, std::string(4 << 20, 'y'),
                                                 std::string(4 << 20, 'z'), "small"};
  expectRepliesWithinLimits({
      {"escaped twice as sent", sheetOfRows(20, escaped), {}, nullptr, 4, 16, {quotes}},
      {"shared past 10 MiB",
       sheetOfRows(4, sharedByRow),
       largeStrings,
       nullptr,
       2,
       2,
       {fourMebibytes}},
      {"a value past 10 MiB", sheetOfRows(2, tooLargeFirst), {}, nullptr, 0, 2, nullptr},
      // Rows the file leaves out are places too.
      // clang-format off
      {"a gap after a value past 10 MiB",
       worksheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + std::string(11 << 20, 'x') +
                 "</t></is></c></row><row r=\"5\"><c r=\"A5\"><v>1</v></c></row>"),
       {}, nullptr, 0, 5, nullptr},
      // clang-format on
  });
}

// Which sheet is read and what is reported for workbooks of every shape, and the failures of
// files that are no workbook; a cloud file is fetched once more before the reader gives up.
TEST(ExcelToolsTest, FindsTheSheetThroughTheWorkbook) {
  const ZipArchive::Member first = {"xl/worksheets/sheet1.xml",
                                    worksheet("<row><c><v>first</v></c></row>")};
  const std::string charted =
      xlsx("charted.xlsx",
           {{"xl/workbook.xml",
             workbook("<sheet name=\"Chart\" r:id=\"rId1\"/><sheet r:id=\"rId2\" name=\"R&amp;D\"/>"
                      "<sheet name=\"Loose\" r:id=\"rId9\"/>")},
            {"xl/_rels/workbook.xml.rels",
             "<Relationships><Relationship Id=\"rId1\" Target=\"chartsheets/sheet1.xml\"/>"
             "<Relationship Target=\"/xl/worksheets/sheet2.xml\" Id=\"rId2\"/></Relationships>"},
            {"xl/chartsheets/sheet1.xml", "<chartsheet/>"},
            first,
            {"xl/worksheets/sheet2.xml", worksheet("<row><c><v>second</v></c></row>")}});
  const std::string unlisted = xlsx("unlisted.xlsx", {{"xl/workbook.xml", "<workbook>"}, first});
  const std::string broken = xlsx("broken.xlsx", {{"xl/worksheets/sheet1.xml", "<worksheet>"}});
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  for (const auto& folder : {cloud, test::home()}) {
    test::writeFile(folder / "pdf.xlsx", "%PDF-1.4");
    ASSERT_TRUE(
        ZipArchive::create(folder / "bare.xlsx", {{"xl/workbook.xml", "<workbook/>"}, first}));
  }
  const std::string sheets = R"("sheets":["Chart","R&D","Loose"])";
  const auto notZip = [](const std::filesystem::path& file) {
    return "failed: Cannot read .xlsx at " + file.string() +
           " \u2014 the file header is not a valid ZIP. The file may be corrupted or not a real "
           ".xlsx file.";
  };

  const std::vector<std::tuple<std::filesystem::path, std::string, json>> cases = {
      {charted, "", "failed: Sheet not found in .xlsx file"},
      {charted, "R&D",
       json::parse(R"({"sheet":"R&D","rows":[["second"]],"count":1,)" + sheets + "}")},
      {charted, "Loose",
       json::parse(R"({"sheet":"Loose","rows":[["first"]],"count":1,)" + sheets + "}")},
      {unlisted, "Data",
       json::parse(R"({"sheet":"Sheet1","sheets":[],"rows":[["first"]],"count":1,)"
                   R"("note":"No sheet named 'Data' \u2014 read sheet 'Sheet1'"})")},
      {broken, "", "failed: Cannot read worksheet XML"},
      {test::home() / "bare.xlsx", "",
       "failed: Cannot unzip .xlsx at " + (test::home() / "bare.xlsx").string() +
           " \u2014 file may be corrupted or incomplete"},
      {cloud / "bare.xlsx", "",
       "failed: This file appears to be an OneDrive cloud placeholder that hasn't been fully "
       "downloaded. Attempted brctl download but the file is still not readable after 6 seconds. "
       "Open it once in Finder (double-click) to materialize it locally, then re-run this tool. "
       "macOS keeps the file cached after the first open."},
      {test::home() / "pdf.xlsx", "", notZip(test::home() / "pdf.xlsx")},
      {cloud / "pdf.xlsx", "", notZip(cloud / "pdf.xlsx")},
      {"/no/such.xlsx", "", "failed: Not found: /no/such.xlsx"},
  };
  for (const auto& [path, sheet, expected] : cases) {
    EXPECT_EQ(test::jsonOrText(ExcelWorkbooks::readXlsx(path, sheet, 100, false,
                                                        {std::chrono::milliseconds(1), 2})),
              expected)
        << path << " " << sheet;
  }
}

TEST(ExcelToolsTest, CreateAndWriteCellPreviewThenWrite) {
  useSystemPython();
  const auto folder = test::home() / "made";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "made.xlsx").string();
  const std::string missing = (folder / "missing" / "new.xlsx").string();
  const json rows = json::parse(R"([["text", 1, 2.5, true, null, [1, "two"], {"k": "v"}, "last"],
                                    "not a row", ["second"]])");
  const json create = {{"path", path}, {"headers", {"A", 7, "B"}}, {"rows", rows}};
  const auto link = folder / "link.xlsx";  // written through, never replaced
  std::filesystem::create_symlink("made.xlsx", link);
  const json write = {{"path", link},
                      {"sheet_name", "Sheet"},
                      {"row", 3},
                      {"column", 2},
                      {"value", "new & <fresh>"}};
  const auto confirmed = [](json arguments) {
    return arguments.update({{"confirm", true}}), arguments;
  };
  struct Call {
    std::string tool;
    json arguments;
    json expected;
  };
  const std::vector<Call> calls = {
      {"excel_create", create,
       "Preview \u2014 Excel file to be created:\n  Path:    " + path +
           "\n  Headers: A, B\n  Rows:    2\nCall again with confirm: true to create."},
      {"excel_write_cell", write,
       "Preview \u2014 write 'new & <fresh>' to row 3, col 2 in '" + link.string() +
           "'. Call again with confirm: true"},
      {"excel_create",
       {{"path", path}, {"headers", {1, 2}}, {"confirm", true}},
       "failed: Missing required parameter: headers"},
      {"excel_create",
       {{"path", missing}, {"headers", {"A"}}, {"confirm", true}},
       "failed: Cannot write '" + missing + "': no such folder; nothing was written."},
      {"excel_write_cell",
       {{"path", path}, {"value", 5}, {"row", 1}, {"column", 1}},
       "failed: Missing required parameter: value"},
      {"excel_write_cell",
       {{"path", path}, {"value", "v"}, {"row", 0}, {"column", 0}},
       "failed: Invalid 'row': expected positive integer"},
      {"excel_write_cell",
       {{"path", path}, {"value", "v"}, {"row", 1}, {"column", "2"}},
       "failed: Invalid 'column': expected positive integer"},
      {"excel_write_cell",
       {{"path", path}, {"value", "v"}, {"row", 1048577}, {"column", 99999}, {"confirm", true}},
       "failed: Invalid 'row': expected positive integer up to 1048576, a sheet's last row"},
      {"excel_write_cell",
       {{"path", path}, {"value", "v"}, {"row", 1048576}, {"column", 16385}, {"confirm", true}},
       "failed: Invalid 'column': expected positive integer up to 16384, a sheet's last column "
       "(XFD)"},
      {"excel_create",
       confirmed(create),
       {{"created", true}, {"path", path}, {"headers", {"A", "B"}}, {"rows", 2}}},
      {"excel_write_cell",
       confirmed(write),
       {{"written", true}, {"row", 3}, {"col", 2}, {"value", "new & <fresh>"}}},
      {"excel_read",
       {{"path", path}},
       json::parse(R"({"sheet":"Sheet","sheets":["Sheet"],"count":3,"rows":[["A","B"],
          ["text","1","2.5","TRUE","","[1,\"two\"]","{\"k\":\"v\"}","last"],
          ["second","new & <fresh>"]]})")},
  };
  for (const auto& [tool, arguments, expected] : calls) {
    EXPECT_EQ(callOfficeJson(tool, arguments), expected) << arguments.dump();
  }
  EXPECT_EQ(test::namesIn(folder), (std::vector<std::string>{"link.xlsx", "made.xlsx"}));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

// A value of an excel_create row and what becomes of it: the cell's type as written (none when
// no cell is written), and for anything but a number the value as written and as read back, as
// a spreadsheet program shows it. A number is compared as a number.
struct TypedCell {
  json given;
  std::string type;
  std::string written = "";
  std::string read = written;
};

const std::vector<TypedCell>& typedCells() {
  static const std::vector<TypedCell> cells = {
      {42, "n"},
      {-17, "n"},
      {2.5, "n"},
      {1e300, "n"},
      {json::parse("12345678901234567890"), "n"},
      {true, "b", "1", "TRUE"},
      {false, "b", "0", "FALSE"},
      {"007", "inlineStr", "007"},
      {"1e3", "inlineStr", "1e3"},
      {nullptr, ""},
      {json::parse(R"([1, "two"])"), "inlineStr", R"([1,"two"])"},
      {json::parse(R"({"k": "v"})"), "inlineStr", R"({"k":"v"})"},
      {"last", "inlineStr", "last"},
  };
  return cells;
}

void expectValue(const TypedCell& cell, const std::string& text, const std::string& expected) {
  if (!cell.given.is_number()) {
    EXPECT_EQ(text, expected);
    return;
  }
  // A spreadsheet keeps about 15 significant digits.
  const double given = cell.given.get<double>();
  EXPECT_NEAR(std::strtod(text.c_str(), nullptr), given, std::abs(given) * 1e-14) << text;
}

// A row read back, or as a spreadsheet program shows it: the values of typedCells, one a column.
void expectShown(const json& row) {
  ASSERT_EQ(row.size(), typedCells().size()) << row;
  for (std::size_t column = 0; column < typedCells().size(); ++column) {
    SCOPED_TRACE(typedCells()[column].given.dump());
    expectValue(typedCells()[column], row[column], typedCells()[column].read);
  }
}

// A workbook whose second row holds every value of typedCells, one a column.
std::string typedWorkbook() {
  useSystemPython();
  json headers = json::array();
  json row = json::array();
  for (const auto& cell : typedCells()) {
    headers.push_back("c" + std::to_string(headers.size()));
    row.push_back(cell.given);
  }
  const std::string path = (test::home() / "typed.xlsx").string();
  const json made = callOfficeJson(
      "excel_create",
      {{"path", path}, {"headers", headers}, {"rows", json::array({row})}, {"confirm", true}});
  EXPECT_EQ(made["rows"], 1) << made;
  return path;
}

// Numbers are written as numbers and true and false as booleans, so a spreadsheet sums and
// shows them as such; text, even text that reads as a number, stays text.
TEST(ExcelToolsTest, CreateWritesEachValueWithItsType) {
  const std::string path = typedWorkbook();
  // The cells of the second row as written, by column: the type (the format's "n" when none is
  // written) and the value, or the text of an inline string.
  std::vector<std::pair<std::string, std::string>> written(typedCells().size());
  const auto xml = ZipArchive::readMember(path, "xl/worksheets/sheet1.xml");
  pugi::xml_document sheet;
  ASSERT_TRUE(xml && sheet.load_string(xml.value().c_str()));
  for (const auto& found : sheet.select_nodes("//row[@r='2']/c")) {
    const pugi::xml_node cell = found.node();
    const std::string type = cell.attribute("t") ? cell.attribute("t").value() : "n";
    const std::size_t column = ExcelWorkbooks::columnIndex(cell.attribute("r").value());
    ASSERT_LT(column, written.size());
    written[column] = {
        type, type == "inlineStr" ? cell.child("is").child_value("t") : cell.child_value("v")};
  }
  for (std::size_t column = 0; column < typedCells().size(); ++column) {
    const TypedCell& cell = typedCells()[column];
    SCOPED_TRACE(cell.given.dump());
    EXPECT_EQ(written[column].first, cell.type);
    expectValue(cell, written[column].second, cell.written);
  }
  const json read = callOfficeJson("excel_read", {{"path", path}})["rows"];
  ASSERT_EQ(read.size(), 2u) << read;
  expectShown(read[1]);
}

// A spreadsheet program, where one is installed, reads the same values from the workbook. One
// that ends well but writes nothing (LibreOffice without its spreadsheet part) cannot read any
// workbook: the row is skipped, with what it said.
TEST(ExcelToolsTest, CreatedWorkbookReadsTheSameInASpreadsheetProgram) {
  const std::string path = typedWorkbook();
  const auto csv = test::home() / "typed.csv";
  const std::vector<std::vector<std::string>> converters = {
      {"ssconvert", path, csv.string()},
      {"libreoffice", "--headless", "--convert-to", "csv", "--outdir", test::home().string(),
       path}};
  std::string unable;
  const auto converted = std::find_if(converters.begin(), converters.end(), [&](const auto& argv) {
    SpawnOptions spawn(argv);
    spawn.searchPath = true;
    RunOptions run;
    run.timeout = std::chrono::seconds(90);
    const auto done = Subprocess::run(spawn, run);
    EXPECT_TRUE(!done.launched || done.exit.status == 0) << argv[0] << ": " << done.standardError;
    if (done.launched && !std::filesystem::exists(csv)) {
      unable += argv[0] + " converts no workbook here: " + done.standardOutput +
                done.standardError + "\n";
    }
    return std::filesystem::exists(csv);
  });
  if (converted == converters.end()) {
    GTEST_SKIP() << (unable.empty() ? "no spreadsheet program is installed" : unable);
  }
  const auto rows = Subprocess::run({{"/usr/bin/python3", "-c", R"(
import csv, json, sys
with open(sys.argv[1], newline='', encoding='utf-8') as f:
    print(json.dumps(list(csv.reader(f)))))",
                                      csv.string()}});
  ASSERT_EQ(rows.exit.status, 0) << rows.standardError;
  const json shown = json::parse(rows.standardOutput);
  ASSERT_EQ(shown.size(), 2u) << shown;
  expectShown(shown[1]);
}

// A write names a sheet the workbook does not have (a spelling of its own, another letter case):
// refused, preview and write alike, with the sheets it has, and the file stays byte for byte. A
// sheet it has gets the value, and the other sheet's cells stay as they were.
TEST(ExcelToolsTest, WriteCellRefusesASheetTheWorkbookDoesNotHave) {
  useSystemPython();
  const std::string path = (test::home() / "two.xlsx").string();
  const auto made = Subprocess::run({{"/usr/bin/python3", "-c", R"(
import sys, openpyxl
wb = openpyxl.Workbook()
wb.active.title = 'Data'
wb.active.append(['Name', 'Count'])
wb.create_sheet('R&D').append(['lab'])
wb.save(sys.argv[1]))",
                                      path}});
  ASSERT_EQ(made.exit.status, 0) << made.standardError;
  const std::string original = test::readFile(path);
  const auto write = [&](const std::string& sheet, int column, bool confirm) {
    const json arguments = {{"path", path},     {"sheet_name", sheet}, {"row", 1},
                            {"column", column}, {"value", "new"},      {"confirm", confirm}};
    return callOfficeJson("excel_write_cell", arguments);
  };
  const auto rows = [&](const char* sheet) {
    return callOfficeJson("excel_read", {{"path", path}, {"sheet_name", sheet}})["rows"];
  };
  for (const std::string sheet : {"Notes", "data", "R&amp;D"}) {
    for (const bool confirm : {false, true}) {
      SCOPED_TRACE(sheet + (confirm ? " confirmed" : " previewed"));
      EXPECT_EQ(write(sheet, 1, confirm),
                "failed: Invalid 'sheet_name': expected one of the workbook's sheets: Data, R&D");
      EXPECT_EQ(test::readFile(path), original);
    }
  }
  ASSERT_EQ(write("R&D", 2, true)["written"], true);
  EXPECT_EQ(rows("Data"), json::parse(R"([["Name","Count"]])"));
  EXPECT_EQ(rows("R&D"), json::parse(R"([["lab","new"]])"));
}

// A python3 first on PATH that cannot import openpyxl (a virtual environment, pyenv) is passed
// over for the system's; named by TVRN_PYTHON it is used all the same, and its failure names it.
TEST(ExcelToolsTest, CreateRunsAnInterpreterThatHasOpenpyxl) {
  const auto bin = test::home() / "venv" / "bin";
  const auto python = bin / "python3";
  // The system's interpreter without its site packages, where Debian's openpyxl lives.
  test::writeFile(python, "#!/bin/sh\nexec /usr/bin/python3 -S \"$@\"\n");
  std::filesystem::permissions(python, std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
  ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  const std::vector<std::pair<std::string, json>> cases = {
      {"", {{"created", true}, {"headers", {"A"}}, {"rows", 0}}},
      {python.string(),
       "failed: Python dependency missing: openpyxl \u2014 run pip3 install openpyxl "
       "(interpreter tried: " +
           python.string() + ")"},
  };
  for (const auto& [named, expected] : cases) {
    ::setenv(OfficeServices::kPythonVariable, named.c_str(), 1);
    const std::string book = (test::home() / "book.xlsx").string();
    json reply =
        callOfficeJson("excel_create", {{"path", book}, {"headers", {"A"}}, {"confirm", true}});
    if (reply.is_object()) reply.erase("path");
    EXPECT_EQ(reply, expected) << named;
  }
}

// A save that fails half-way (here: the file-size limit, which the script inherits) keeps the
// workbook as it was and leaves nothing beside it.
TEST(ExcelToolsTest, FailedSaveKeepsTheWorkbook) {
  useSystemPython();
  const auto folder = test::home() / "books";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "kept.xlsx").string();
  ASSERT_EQ(callOfficeJson("excel_create",
                           {{"path", path}, {"headers", {"Kept"}}, {"confirm", true}})["rows"],
            0);
  const auto before = test::contentsOf(folder);

  const std::string big(8000, 'x');
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
  rlimit small = original;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const json created =
      callOfficeJson("excel_create", {{"path", path}, {"headers", {big}}, {"confirm", true}});
  const json written = callOfficeJson(
      "excel_write_cell",
      {{"path", path}, {"row", 1}, {"column", 1}, {"value", big}, {"confirm", true}});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);

  for (const json& reply : {created, written}) {
    EXPECT_EQ(reply.get<std::string>().rfind("failed: Python error: ", 0), 0u) << reply;
  }
  EXPECT_EQ(test::contentsOf(folder), before);
}

}  // namespace
}  // namespace tvrn
