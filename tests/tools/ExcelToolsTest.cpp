#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/ExcelWorkbooks.h"
#include "tools/OfficeServices.h"
#include "tools/OfficeTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::callOffice;

constexpr const char* kSpreadsheetNamespace =
    "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";

void useSystemPython() { ::setenv(OfficeServices::kPythonVariable, "/usr/bin/python3", 1); }

std::string worksheet(const std::string& rows) {
  return std::string("<worksheet ") + kSpreadsheetNamespace + "><sheetData>" + rows +
         "</sheetData></worksheet>";
}

std::string workbookXml(const std::string& sheets) {
  return std::string("<workbook ") + kSpreadsheetNamespace + "><sheets>" + sheets +
         "</sheets></workbook>";
}

std::string relationshipsXml(const std::string& relationships) {
  return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
         relationships + "</Relationships>";
}

// A package holding just the parts a reader looks at; `members` adds to or replaces the default
// one-sheet workbook.
std::string xlsx(const std::string& name, std::vector<ZipArchive::Member> members) {
  const std::vector<ZipArchive::Member> defaults = {
      {"xl/workbook.xml", workbookXml("<sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/>")},
      {"xl/_rels/workbook.xml.rels",
       relationshipsXml("<Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>")},
      {"xl/worksheets/sheet1.xml", worksheet("")}};
  for (const auto& member : defaults) {
    const bool replaced = std::any_of(members.begin(), members.end(),
                                      [&](const auto& given) { return given.name == member.name; });
    if (!replaced) members.push_back(member);
  }
  const auto file = test::home() / name;
  EXPECT_TRUE(ZipArchive::create(file, members));
  return file.string();
}

std::string sharedStrings(const std::string& items) {
  return "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" + items +
         "</sst>";
}

// A workbook as openpyxl writes it (inline strings, an absolute Target, Id after Target).
std::string openpyxlWorkbook(const std::string& name) {
  const auto file = test::home() / name;
  static constexpr const char* kScript = R"(
import sys, openpyxl
wb = openpyxl.Workbook()
ws = wb.active
ws.title = 'Data'
ws.append(['Name', 'Count', 'Done'])
ws.append(['Tea & cake', 3, True])
ws.append(['Coffee <hot>', 2.5, False])
ws['E3'] = 'far'
other = wb.create_sheet('R&D')
other.append(['lab', 'line one\nline two'])
wb.save(sys.argv[1])
)";
  const auto done = Subprocess::run({{"/usr/bin/python3", "-c", kScript, file.string()}});
  EXPECT_EQ(done.exit.status, 0) << done.standardError;
  return file.string();
}

TEST(ExcelToolsTest, ReadsWorkbooksWrittenByOpenpyxl) {
  const std::string path = openpyxlWorkbook("book.xlsx");
  const json data = {{"Name", "Count", "Done"},
                     {"Tea & cake", "3", "TRUE"},
                     {"Coffee <hot>", "2.5", "FALSE", "", "far"}};
  const json research = json::array({{"lab", "line one\nline two"}});
  const std::vector<std::pair<json, json>> cases = {
      {{}, {{"sheet", "Data"}, {"rows", data}}},
      {{{"sheet_name", "R&D"}}, {{"sheet", "R&D"}, {"rows", research}}},
      {{{"sheet_name", "r&d"}}, {{"sheet", "Data"}, {"rows", data}}},
      {{{"sheet_name", "Missing"}, {"max_rows", 2}},
       {{"sheet", "Data"}, {"rows", json(data.begin(), data.begin() + 2)}}},
      {{{"max_rows", "2"}}, {{"sheet", "Data"}, {"rows", data}}},
      {{{"max_rows", 0}}, {{"sheet", "Data"}, {"rows", json::array()}}},
      {{{"max_rows", -3}}, {{"sheet", "Data"}, {"rows", json::array()}}},
  };
  for (auto [arguments, expected] : cases) {
    SCOPED_TRACE(arguments.dump());
    arguments["path"] = path;
    expected["sheets"] = {"Data", "R&D"};
    expected["count"] = expected["rows"].size();
    EXPECT_EQ(test::callOfficeJson("excel_read", arguments), expected);
  }
}

// Rows and cells in every shape the format allows, each read by its own position.
TEST(ExcelToolsTest, CellsLandInTheirColumns) {
  std::string nested;
  for (int depth = 0; depth < 100000; ++depth) nested += "<r>";
  nested += "<t>deep</t>";
  for (int depth = 0; depth < 100000; ++depth) nested += "</r>";
  const std::string strings = sharedStrings(
      "<si><t>zero</t></si><si><r><t>two </t></r><r><t xml:space=\"preserve\">runs</t></r></si>"
      "<si/><si><t>&amp;lt;</t></si><si>" +
      nested + "</si>");
  const std::vector<std::tuple<std::string, std::string, json>> cases = {
      {"self-closing row",
       "<row/><row><c r=\"A2\"><v>1</v></c></row><row/>",
       {json::array(), {"1"}, json::array()}},
      {"self-closing cell",
       "<row><c r=\"B1\" s=\"1\"/><c r=\"C1\" t=\"s\"><v>0</v></c></row>",
       {{"", "", "zero"}}},
      {"r not first", "<row><c s=\"2\" t=\"s\" r=\"B1\"><v>1</v></c></row>",
       json::array({{"", "two runs"}})},
      {"no r",
       "<row><c r=\"B1\"><v>b</v></c><c><v>c</v></c><c t=\"b\"><v>1</v></c></row>",
       {{"", "b", "c", "TRUE"}}},
      {"past the last column",
       "<row><c r=\"AAAAAAAAAAAAAAAAAAAA1\"><v>far</v></c><c><v>after</v></c>"
       "<c r=\"XFE1\"><v>over</v></c><c r=\"a1\"><v>near</v></c></row>",
       {{"near"}}},
      {"entities once",
       "<row><c r=\"A1\" t=\"s\"><v>3</v></c><c r=\"B1\" t=\"inlineStr\"><is><t>&amp;amp;</t>"
       "<t>&#65;</t></is></c></row>",
       json::array({{"&lt;", "&amp;A"}})},
      {"raw values",
       "<row><c r=\"A1\"><v>line\none</v></c><c r=\"B1\" t=\"s\"><v>5</v></c>"
       "<c r=\"C1\" t=\"s\"><v>-1</v></c><c r=\"D1\" t=\"b\"><v>0</v></c>"
       "<c r=\"E1\" t=\"s\"><v>2</v></c><c r=\"F1\"><f>1+1</f><v>2</v></c>"
       "<c r=\"G1\" t=\"inlineStr\"><is><t xml:space=\"preserve\"> </t></is></c>"
       "<c t=\"s\"><v>4</v></c></row>",
       {{"line\none", "5", "-1", "FALSE", "", "2", " ", "deep"}}},
  };
  for (const auto& [name, rows, expected] : cases) {
    SCOPED_TRACE(name);
    const std::string path = xlsx("cells.xlsx", {{"xl/worksheets/sheet1.xml", worksheet(rows)},
                                                 {"xl/sharedStrings.xml", strings}});
    const json read = test::callOfficeJson("excel_read", {{"path", path}});
    EXPECT_EQ(read["rows"], expected);
    EXPECT_EQ(read["count"], expected.size());
  }

  const std::string last =
      xlsx("last.xlsx",
           {{"xl/worksheets/sheet1.xml", worksheet("<row><c r=\"XFD1\"><v>edge</v></c></row>")}});
  const json read = test::callOfficeJson("excel_read", {{"path", last}});
  ASSERT_EQ(read["rows"][0].size(), 16384u);
  EXPECT_EQ(read["rows"][0][16383], "edge");
}

// Which sheet is read, and what is reported, for workbooks and relationships of every shape.
TEST(ExcelToolsTest, FindsTheSheetThroughTheWorkbook) {
  const std::string two =
      "<sheet name=\"Chart\" sheetId=\"1\" r:id=\"rId1\"/>"
      "<sheet r:id=\"rId2\" sheetId=\"2\" name=\"R&amp;D\"/>"
      "<sheet name=\"Loose\" sheetId=\"3\" r:id=\"rId9\"/>";
  const std::string targets =
      "<Relationship Id=\"rId1\" Target=\"chartsheets/sheet1.xml\"/>"
      "<Relationship Target=\"/xl/worksheets/sheet2.xml\" Id=\"rId2\"/>";
  const ZipArchive::Member first = {"xl/worksheets/sheet1.xml",
                                    worksheet("<row><c r=\"A1\"><v>first</v></c></row>")};
  const ZipArchive::Member second = {"xl/worksheets/sheet2.xml",
                                     worksheet("<row><c r=\"A1\"><v>second</v></c></row>")};
  const std::string charted =
      xlsx("charted.xlsx", {{"xl/workbook.xml", workbookXml(two)},
                            {"xl/_rels/workbook.xml.rels", relationshipsXml(targets)},
                            {"xl/chartsheets/sheet1.xml", "<chart/>"},
                            first,
                            second});
  const std::string unlisted =
      xlsx("unlisted.xlsx", {{"xl/workbook.xml", "<workbook><sheets/>"}, first});
  const std::string broken =
      xlsx("broken.xlsx", {{"xl/worksheets/sheet1.xml", "<worksheet><sheetData><row>"}});
  const std::string noRelationships = (test::home() / "norels.xlsx").string();
  ASSERT_TRUE(ZipArchive::create(noRelationships, {{"xl/workbook.xml", workbookXml("")}, first}));

  const std::vector<std::tuple<std::string, std::string, json>> cases = {
      {charted, "", "failed: Sheet not found in .xlsx file"},
      {charted,
       "R&D",
       {{"sheet", "R&D"},
        {"sheets", {"Chart", "R&D", "Loose"}},
        {"rows", {{"second"}}},
        {"count", 1}}},
      {charted,
       "Loose",
       {{"sheet", "Loose"},
        {"sheets", {"Chart", "R&D", "Loose"}},
        {"rows", {{"first"}}},
        {"count", 1}}},
      {unlisted,
       "Data",
       {{"sheet", "Sheet1"}, {"sheets", json::array()}, {"rows", {{"first"}}}, {"count", 1}}},
      {broken, "", "failed: Cannot read worksheet XML"},
      {noRelationships, "",
       "failed: Cannot unzip .xlsx at " + noRelationships +
           " \u2014 file may be corrupted or incomplete"},
  };
  for (const auto& [path, sheet, expected] : cases) {
    SCOPED_TRACE(path + " " + sheet);
    EXPECT_EQ(test::callOfficeJson("excel_read", {{"path", path}, {"sheet_name", sheet}}),
              expected);
  }
}

// A file that is no workbook at all, inside and outside a cloud folder: a cloud file is fetched
// once more before the reader gives up.
TEST(ExcelToolsTest, RefusesFilesThatAreNoWorkbook) {
  const auto cloud = test::home() / "Library" / "CloudStorage" / "OneDrive-Personal";
  const auto local = test::home() / "docs";
  for (const auto& folder : {cloud, local}) {
    test::writeFile(folder / "report.xlsx", "%PDF-1.4 not a workbook");
  }
  const std::string cloudEmpty = (cloud / "empty.xlsx").string();
  ASSERT_TRUE(ZipArchive::create(cloudEmpty, {{"docProps/app.xml", "<Properties/>"}}));
  const std::string localEmpty = (local / "empty.xlsx").string();
  ASSERT_TRUE(ZipArchive::create(localEmpty, {{"docProps/app.xml", "<Properties/>"}}));
  const auto notZip = [](const std::filesystem::path& file) {
    return "failed: Cannot read .xlsx at " + file.string() +
           " \u2014 the file header is not a valid ZIP. The file may be corrupted or not a real "
           ".xlsx file.";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {(local / "report.xlsx").string(), notZip(local / "report.xlsx")},
      {(cloud / "report.xlsx").string(), notZip(cloud / "report.xlsx")},
      {localEmpty, "failed: Cannot unzip .xlsx at " + localEmpty +
                       " \u2014 file may be corrupted or incomplete"},
      {cloudEmpty,
       "failed: This file appears to be an OneDrive cloud placeholder that hasn't been fully "
       "downloaded. Attempted brctl download but the file is still not readable after 6 seconds. "
       "Open it once in Finder (double-click) to materialize it locally, then re-run this tool. "
       "macOS keeps the file cached after the first open."},
      {"/no/such.xlsx", "failed: Not found: /no/such.xlsx"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(test::textOf(ExcelWorkbooks::readXlsx(path, "", 100, false,
                                                    {std::chrono::milliseconds(1), 2})),
              expected)
        << path;
  }
}

TEST(ExcelToolsTest, CreateAndWriteCellPreviewThenWrite) {
  useSystemPython();
  const auto folder = test::home() / "made";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "made.xlsx").string();
  const json rows = {
      {"text", 1, 2.5, true, nullptr, {1, "two"}, {{"k", "v"}}, "last"}, "not a row", {"second"}};
  EXPECT_EQ(
      callOffice("excel_create", {{"path", path}, {"headers", {"A", 7, "B"}}, {"rows", rows}}),
      "Preview \u2014 Excel file to be created:\n  Path:    " + path +
          "\n  Headers: A, B\n  Rows:    2\nCall again with confirm: true to create.");
  EXPECT_EQ(
      callOffice("excel_write_cell", {{"path", path}, {"row", 2}, {"column", 3}, {"value", "new"}}),
      "Preview \u2014 write 'new' to row 2, col 3 in '" + path +
          "'. Call again with confirm: true");
  EXPECT_FALSE(std::filesystem::exists(path));

  const std::vector<std::pair<std::pair<std::string, json>, std::string>> refused = {
      {{"excel_create", {{"headers", {1, 2}}}}, "failed: Missing required parameter: headers"},
      {{"excel_write_cell", {{"value", 5}, {"row", 1}, {"column", 1}}},
       "failed: Missing required parameter: value"},
      {{"excel_write_cell", {{"value", "v"}, {"row", 0}, {"column", 0}}},
       "failed: Invalid 'row': expected positive integer"},
      {{"excel_write_cell", {{"value", "v"}, {"row", 1}, {"column", "2"}}},
       "failed: Invalid 'column': expected positive integer"},
  };
  for (auto [call, expected] : refused) {
    call.second["path"] = path;
    call.second["confirm"] = true;
    EXPECT_EQ(callOffice(call.first, call.second), expected) << call.second.dump();
  }

  EXPECT_EQ(json::parse(callOffice(
                "excel_create",
                {{"path", path}, {"headers", {"A", 7, "B"}}, {"rows", rows}, {"confirm", true}})),
            json({{"created", true}, {"path", path}, {"headers", {"A", "B"}}, {"rows", 2}}));
  EXPECT_EQ(json::parse(callOffice("excel_write_cell", {{"path", path},
                                                        {"sheet_name", "Nowhere"},
                                                        {"row", 3},
                                                        {"column", 2},
                                                        {"value", "new & <fresh>"},
                                                        {"confirm", true}})),
            json({{"written", true}, {"row", 3}, {"col", 2}, {"value", "new & <fresh>"}}));
  EXPECT_EQ(test::callOfficeJson("excel_read", {{"path", path}})["rows"],
            json({{"A", "B"},
                  {"text", "1", "2.5", "true", "", "[1,\"two\"]", "{\"k\":\"v\"}", "last"},
                  {"second", "new & <fresh>"}}));
  EXPECT_EQ(test::namesIn(folder), std::vector<std::string>{"made.xlsx"});
}

// A save that fails half-way (here: the file-size limit, which the script inherits) keeps the
// workbook as it was and leaves nothing beside it.
TEST(ExcelToolsTest, FailedSaveKeepsTheWorkbook) {
  useSystemPython();
  const auto folder = test::home() / "books";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "kept.xlsx").string();
  ASSERT_EQ(callOffice("excel_create", {{"path", path}, {"headers", {"Kept"}}, {"confirm", true}})
                .rfind("failed", 0),
            std::string::npos);
  const auto before = test::contentsOf(folder);

  ::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
  rlimit small = original;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string created = callOffice("excel_create", {{"path", path},
                                                          {"headers", {"New"}},
                                                          {"rows", {{std::string(8000, 'x')}}},
                                                          {"confirm", true}});
  const std::string written = callOffice("excel_write_cell", {{"path", path},
                                                              {"row", 1},
                                                              {"column", 1},
                                                              {"value", std::string(8000, 'y')},
                                                              {"confirm", true}});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);

  EXPECT_EQ(created.rfind("failed: Python error: ", 0), 0u) << created;
  EXPECT_EQ(written.rfind("failed: Python error: ", 0), 0u) << written;
  EXPECT_EQ(test::contentsOf(folder), before);
}

}  // namespace
}  // namespace tvrn
