// excel_read of the first 100 rows of a worksheet of 200,000 rows: unpacking the sheet, parsing
// it and building the rows asked for.
#include <benchmark/benchmark.h>

#include <string>

#include "PrivateHome.h"
#include "core/ToolRegistry.h"
#include "platform/ZipArchive.h"
#include "tools/OfficeTools.h"

namespace tvrn {
namespace {

constexpr int kRows = 200'000;

std::string largeWorkbook() {
  const auto file = bench::privateHome.path / "large.xlsx";
  std::string sheet =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet "
      "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>";
  for (int row = 1; row <= kRows; ++row) {
    const std::string r = std::to_string(row);
    sheet += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>" + std::to_string(row % 3) +
             "</v></c><c r=\"B" + r + "\"><v>" + std::to_string(row * 1.5) + "</v></c><c r=\"C" +
             r + "\" t=\"inlineStr\"><is><t>Item " + r + " &amp; more</t></is></c><c r=\"D" + r +
             "\" t=\"b\"><v>1</v></c></row>";
  }
  sheet += "</sheetData></worksheet>";
  ZipArchive::create(
      file,
      {{"xl/workbook.xml",
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
        "<sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
       {"xl/_rels/workbook.xml.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/></Relationships>"},
       {"xl/sharedStrings.xml",
        "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si><t>North</t>"
        "</si><si><t>South</t></si><si><t>East</t></si></sst>"},
       {"xl/worksheets/sheet1.xml", sheet}});
  return file.string();
}

void BM_ExcelReadFirstHundredOfTwoHundredThousandRows(benchmark::State& state) {
  const std::string path = largeWorkbook();
  ToolRegistry registry;
  OfficeTools::registerTools(registry);
  const auto tool = registry.tool("excel_read");
  const auto arguments = JSONValue::fromRaw({{"path", path}, {"max_rows", 100}});
  for (auto _ : state) {
    auto result = tool->handler(arguments);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ExcelReadFirstHundredOfTwoHundredThousandRows)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
