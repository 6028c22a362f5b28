// excel_read of a worksheet of 200,000 rows: the first 100 rows, and every row down to the last,
// with how far each raises the server's peak memory; beside them openpyxl in read-only mode
// reading the same first 100 rows, Python's start-up included. Then sheets made to cost more than
// they hold: rows whose one empty styled cell sits in the last column, a million empty styled
// cells, and a value in the last column of every row. Each read reports its reply's size, how far
// it raises the bytes allocated at their peak, the bound that growth must stay within (twice the
// reply plus 20 MiB) and how much more resident memory the process holds once the reply is gone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "HeapPeak.h"
#include "PeakMemory.h"
#include "PrivateHome.h"
#include "core/ToolRegistry.h"
#include "platform/ProcessSetup.h"
#include "platform/Subprocess.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

constexpr int kRows = 200'000;
constexpr int kFirstRows = 100;

constexpr const char* kSheetHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet "
    "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";

// A whole package around the sheet, as openpyxl needs one; the server's reader looks only at the
// xl/ parts.
std::string makeWorkbook(const std::string& name, const std::string& sheet) {
  const auto file = bench::privateHome.path / name;
  const std::string relationships =
      "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  const std::string types = "application/vnd.openxmlformats-officedocument.spreadsheetml.";
  const auto made = ZipArchive::create(
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
  if (!made) std::fprintf(stderr, "cannot write %s: %s\n", file.c_str(), made.error().c_str());
  return file.string();
}

std::string makeLargeWorkbook() {
  std::string sheet = kSheetHead +
                      // The extent, as the programs that write workbooks give it; without it
                      // openpyxl walks the whole sheet to find it.
                      ("<dimension ref=\"A1:D" + std::to_string(kRows) + "\"/><sheetData>");
  for (int row = 1; row <= kRows; ++row) {
    const std::string r = std::to_string(row);
    sheet += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>" + std::to_string(row % 3) +
             "</v></c><c r=\"B" + r + "\"><v>" + std::to_string(row * 1.5) + "</v></c><c r=\"C" +
             r + "\" t=\"inlineStr\"><is><t>Item " + r + " &amp; more</t></is></c><c r=\"D" + r +
             "\" t=\"b\"><v>1</v></c></row>";
  }
  sheet += "</sheetData></worksheet>";
  return makeWorkbook("large.xlsx", sheet);
}

const std::string& largeWorkbook() {
  static const std::string path = makeLargeWorkbook();
  return path;
}

// `rows` rows, each holding what `cells` gives for its row number.
template <typename Cells>
std::string makeSheet(const std::string& name, int rows, const Cells& cells) {
  std::string sheet = std::string(kSheetHead) + "<sheetData>";
  for (int row = 1; row <= rows; ++row) {
    sheet += "<row r=\"" + std::to_string(row) + "\">" + cells(std::to_string(row)) + "</row>";
  }
  return makeWorkbook(name, sheet + "</sheetData></worksheet>");
}

// "A" for 0, "Z" for 25, "AA" for 26.
std::string columnName(int column) {
  std::string name;
  for (++column; column > 0; column = (column - 1) / 26) {
    name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
  }
  return name;
}

// A row whose only cell is an empty one with a style, in the last column (XFD).
std::string styledCellAtTheEnd(const std::string& row) {
  return "<c r=\"XFD" + row + "\" s=\"1\"/>";
}

std::size_t replyBytes(const ToolResult& result) {
  if (!result) return 0;
  const JSONValue* content = result.value()["content"];
  const JSONValue* block = content ? (*content)[0] : nullptr;
  const JSONValue* text = block ? (*block)["text"] : nullptr;
  return text && text->asString() ? text->asString()->size() : 0;
}

constexpr double kMiB = 1024.0 * 1024.0;

// Each call runs on a thread of its own, as a session's call does in the server.
void readRows(benchmark::State& state, const std::string& path, int maxRows) {
  prepareProcess();  // as the server's programs do
  ToolRegistry registry;
  OfficeTools::registerTools(registry);
  const auto tool = registry.tool("excel_read");
  const auto arguments = JSONValue::fromRaw({{"path", path}, {"max_rows", maxRows}});
  // The server answers a call that runs out of memory with an error; so does this.
  const auto call = [&] {
    ToolResult result = fail(ToolError::executionFailed("not run"));
    std::thread([&] {
      try {
        result = tool->handler(arguments);
      } catch (const std::bad_alloc&) {
        result = fail(ToolError::executionFailed("std::bad_alloc"));
      }
    }).join();
    return result;
  };
  // Taken before the first call, so that what any call keeps shows.
  const bench::PeakMemory resident;
  std::size_t reply = 0;
  {
    const ToolResult first = call();
    if (!first) {
      state.SkipWithError(first.error().description().c_str());
      return;
    }
    reply = replyBytes(first);
  }
  const bench::HeapPeak heap;
  for (auto _ : state) {
    auto result = call();
    benchmark::DoNotOptimize(result);
  }
  state.counters["reply_MiB"] = static_cast<double>(reply) / kMiB;
  state.counters["peak_growth_MiB"] = heap.grownMiB();
  state.counters["bound_MiB"] = 2 * static_cast<double>(reply) / kMiB + 20;
  state.counters["kept_MiB"] = resident.keptMiB();
}

void BM_ExcelReadFirstHundredOfTwoHundredThousandRows(benchmark::State& state) {
  readRows(state, largeWorkbook(), kFirstRows);
}
BENCHMARK(BM_ExcelReadFirstHundredOfTwoHundredThousandRows)->Unit(benchmark::kMillisecond);

// The last rows cost a walk through the whole sheet: every row is read and returned.
void BM_ExcelReadDownToTheLastOfTwoHundredThousandRows(benchmark::State& state) {
  readRows(state, largeWorkbook(), kRows);
}
BENCHMARK(BM_ExcelReadDownToTheLastOfTwoHundredThousandRows)->Unit(benchmark::kMillisecond);

// A few kilobytes of package: 200 rows (about 2 KB) read at the default 100 rows, and 5,000 rows
// (about 25 KB) read to the last.
void BM_ExcelReadStyledCellsInTheLastColumn(benchmark::State& state) {
  const auto rows = static_cast<int>(state.range(0));
  const std::string path =
      makeSheet("xfd" + std::to_string(rows) + ".xlsx", rows, styledCellAtTheEnd);
  state.counters["file_KB"] = static_cast<double>(std::filesystem::file_size(path)) / 1000.0;
  readRows(state, path, static_cast<int>(state.range(1)));
}
BENCHMARK(BM_ExcelReadStyledCellsInTheLastColumn)
    ->Args({200, 100})
    ->Args({5000, 5000})
    ->Unit(benchmark::kMillisecond);

// 1,000 rows of 1,000 empty styled cells each, the way a format given to a whole block is saved.
void BM_ExcelReadMillionEmptyStyledCells(benchmark::State& state) {
  constexpr int kSide = 1000;
  static const std::string path = makeSheet("styled.xlsx", kSide, [](const std::string& row) {
    std::string cells;
    for (int column = 0; column < kSide; ++column) {
      cells += "<c r=\"" + columnName(column) + row + "\" s=\"2\"/>";
    }
    return cells;
  });
  readRows(state, path, kSide);
}
BENCHMARK(BM_ExcelReadMillionEmptyStyledCells)->Unit(benchmark::kMillisecond);

// A value in the last column of each of 5,000 rows: every row is 16,384 cells wide.
void BM_ExcelReadValuesInTheLastColumn(benchmark::State& state) {
  static const std::string path = makeSheet("xfdvalues.xlsx", 5000, [](const std::string& row) {
    return "<c r=\"XFD" + row + "\" t=\"s\"><v>0</v></c>";
  });
  readRows(state, path, 5000);
}
BENCHMARK(BM_ExcelReadValuesInTheLastColumn)->Unit(benchmark::kMillisecond);

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
