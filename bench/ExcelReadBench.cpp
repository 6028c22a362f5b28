// excel_read of a worksheet of 200,000 rows: the first 100 rows, and every row down to the last,
// with how far each raises the server's peak memory; beside them openpyxl in read-only mode
// reading the same first 100 rows, Python's start-up included.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "PeakMemory.h"
#include "PrivateHome.h"
#include "core/ToolRegistry.h"
#include "platform/Subprocess.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

constexpr int kRows = 200'000;
constexpr int kFirstRows = 100;

std::string makeLargeWorkbook() {
  const auto file = bench::privateHome.path / "large.xlsx";
  std::string sheet =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet "
      "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      // The extent, as the programs that write workbooks give it; without it openpyxl walks the
      // whole sheet to find it.
      "<dimension ref=\"A1:D" +
      std::to_string(kRows) + "\"/><sheetData>";
  for (int row = 1; row <= kRows; ++row) {
    const std::string r = std::to_string(row);
    sheet += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>" + std::to_string(row % 3) +
             "</v></c><c r=\"B" + r + "\"><v>" + std::to_string(row * 1.5) + "</v></c><c r=\"C" +
             r + "\" t=\"inlineStr\"><is><t>Item " + r + " &amp; more</t></is></c><c r=\"D" + r +
             "\" t=\"b\"><v>1</v></c></row>";
  }
  sheet += "</sheetData></worksheet>";
  // A whole package, as openpyxl needs one; the server's reader looks only at the xl/ parts.
  const std::string relationships =
      "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  const std::string types = "application/vnd.openxmlformats-officedocument.spreadsheetml.";
  ZipArchive::create(
      file,
      {{"[Content_Types].xml",
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" +
            types +
            "sheet.main+xml\"/>"
            "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" +
            types +
            "worksheet+xml\"/>"
            "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"" +
            types +
            "sharedStrings+xml\"/>"
            "</Types>"},
       {"_rels/.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
            relationships +
            "officeDocument\" "
            "Target=\"xl/workbook.xml\"/></Relationships>"},
       {"xl/workbook.xml",
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
        "<sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
       {"xl/_rels/workbook.xml.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
            relationships +
            "worksheet\" "
            "Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" Type=\"" +
            relationships + "sharedStrings\" Target=\"sharedStrings.xml\"/></Relationships>"},
       {"xl/sharedStrings.xml",
        "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si><t>North</t>"
        "</si><si><t>South</t></si><si><t>East</t></si></sst>"},
       {"xl/worksheets/sheet1.xml", sheet}});
  return file.string();
}

const std::string& largeWorkbook() {
  static const std::string path = makeLargeWorkbook();
  return path;
}

void readRows(benchmark::State& state, int maxRows) {
  const std::string& path = largeWorkbook();
  ToolRegistry registry;
  OfficeTools::registerTools(registry);
  const auto tool = registry.tool("excel_read");
  const auto arguments = JSONValue::fromRaw({{"path", path}, {"max_rows", maxRows}});
  const bench::PeakMemory peak;
  for (auto _ : state) {
    auto result = tool->handler(arguments);
    benchmark::DoNotOptimize(result);
  }
  state.counters["peak_growth_MiB"] = peak.grownMiB();
}

void BM_ExcelReadFirstHundredOfTwoHundredThousandRows(benchmark::State& state) {
  readRows(state, kFirstRows);
}
BENCHMARK(BM_ExcelReadFirstHundredOfTwoHundredThousandRows)->Unit(benchmark::kMillisecond);

// The last rows cost a walk through the whole sheet: every row is read and returned.
void BM_ExcelReadDownToTheLastOfTwoHundredThousandRows(benchmark::State& state) {
  readRows(state, kRows);
}
BENCHMARK(BM_ExcelReadDownToTheLastOfTwoHundredThousandRows)->Unit(benchmark::kMillisecond);

void BM_OpenpyxlReadOnlyFirstHundredRows(benchmark::State& state) {
  const std::string& path = largeWorkbook();
  // Debian's interpreter, where python3-openpyxl installs the package.
  const std::string python = "/usr/bin/python3";
  if (Subprocess::run({{python, "-c", "import openpyxl"}}).exit.status != 0) {
    state.SkipWithError("skipped: python3-openpyxl is not installed");
    return;
  }
  const SpawnOptions read({python, std::string(TVRN_BENCH_DIR) + "/openpyxl_first_rows.py", path,
                           std::to_string(kFirstRows)});
  for (auto _ : state) {
    const auto done = Subprocess::run(read);
    if (done.exit.status != 0) {
      state.SkipWithError(("openpyxl failed: " + done.standardError).c_str());
      break;
    }
  }
}
BENCHMARK(BM_OpenpyxlReadOnlyFirstHundredRows)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
