// Excel workbooks for the excel_* tools: the rows of one worksheet read from the package as it
// inflates, no further than the rows asked for, and new workbooks and single cells written by
// short openpyxl scripts that save into a private file, which is then put in the workbook's place
// (beside it, renamed over it), so a failed save keeps the old file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/Params.h"
#include "core/ToolDefinition.h"
#include "platform/CloudPlaceholderProbe.h"

namespace tvrn::ExcelWorkbooks {

// The last column a worksheet can have (XFD); cells past it are not read.
inline constexpr int kLastColumn = 16383;
// The last row a worksheet can have, counted from 1.
inline constexpr std::size_t kLastRow = 1048576;

// The tool handlers.
ToolResult readExcel(const Params::Arguments& arguments);
ToolResult createExcel(const Params::Arguments& arguments);
ToolResult writeCell(const Params::Arguments& arguments);

// excel_read's answer for one sheet (the first when `sheetName` is empty or not found), at most
// `maxRows` rows; a cloud file that is not local yet is downloaded and tried once more.
ToolResult readXlsx(const std::string& path, const std::string& sheetName, std::int64_t maxRows,
                    bool retryAfterDownload, const PlaceholderPolling& polling = {});

// The 0-based column named by the letters that start a cell reference ("A1" 0, "AA7" 26, in
// either case); -1 when it starts with no letter, and kLastColumn + 1 for anything past XFD.
int columnIndex(std::string_view reference);

}  // namespace tvrn::ExcelWorkbooks
