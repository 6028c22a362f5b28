// The document tools' user-facing texts and log lines.
#pragma once

namespace tvrn::OfficeTexts {

inline constexpr const char* kCategory = "office";

// Tool descriptions.
inline constexpr const char* kPdfReadDescription = "Reads and extracts text from a PDF file.";
inline constexpr const char* kWordReadDescription = "Reads text content from a Word (.docx) file.";
inline constexpr const char* kWordCreateDescription =
    "Creates a new Word (.docx) document with the given content.";
inline constexpr const char* kWordAppendDescription =
    "Appends text to an existing Word (.docx) document.";
inline constexpr const char* kExcelReadDescription =
    "Reads data from an Excel (.xlsx) file. Returns sheets and cell values.";
inline constexpr const char* kExcelCreateDescription =
    "Creates a new Excel (.xlsx) file with headers and optional data rows.";
inline constexpr const char* kExcelWriteCellDescription =
    "Writes a value to a specific cell in an Excel file.";
inline constexpr const char* kPptReadDescription =
    "Reads slide text content from a PowerPoint (.pptx) file.";
inline constexpr const char* kPptCreateDescription =
    "Creates a PowerPoint (.pptx) file with title and bullet slides.";

// PDF.
inline constexpr const char* kPdfCannotOpenPrefix = "Could not open PDF at ";
inline constexpr const char* kPdfCannotOpenSuffix =
    ". The file may be corrupted or not a valid PDF.";
inline constexpr const char* kPdfEmpty = "PDF is empty (0 pages).";

// Python scripts.
inline constexpr const char* kCannotWriteScript = "Cannot write temp Python script";
inline constexpr const char* kCannotRunPython = "Cannot run python3: ";
inline constexpr const char* kPythonTimedOut = "python3 timed out after ";
inline constexpr const char* kTimedOutSuffix =
    "s \u2014 file may be a cloud placeholder still downloading";
inline constexpr const char* kCannotParsePython = "Cannot parse Python output: ";
inline constexpr const char* kDependencyMissing = "Python dependency missing: ";
inline constexpr const char* kDependencyAdvice = " \u2014 run pip3 install ";
// Then the interpreter and ")".
inline constexpr const char* kInterpreterTried = " (interpreter tried: ";
inline constexpr const char* kPythonError = "Python error: ";
inline constexpr const char* kAutoInstalling = "Auto-installing Python dependency: ";
inline constexpr const char* kInstalledPrefix = "Installed ";
inline constexpr const char* kInstalledSuffix = ", retrying";

// Cloud placeholders.
inline constexpr const char* kHeaderTimedOut = "readFileHeader timed out after ";
inline constexpr const char* kHeaderTimedOutSuffix = "s \u2014 cloud placeholder: ";
inline constexpr const char* kPlaceholderDetected =
    "Cloud placeholder detected, triggering brctl download: ";
inline constexpr const char* kPlaceholderDownloaded = "Cloud placeholder downloaded successfully: ";
inline constexpr const char* kForcedDownloadSucceeded =
    "Forced cloud placeholder download succeeded: ";
inline constexpr const char* kStillPlaceholder =
    "This file lives in OneDrive and hasn't been downloaded to this Mac yet. Started the download "
    "but it's still in progress after 6 seconds \u2014 the file is probably too large for an "
    "on-demand fetch. Open it once in Finder (double-click) to materialize it locally, then "
    "re-run this tool. macOS keeps the file cached after the first open.";

// Paths the tools refuse.
inline constexpr const char* kCannotReadPrefix = "Cannot read ";
inline constexpr const char* kCannotWritePrefix = "Cannot write '";
inline constexpr const char* kCannotWriteMiddle = "': ";
inline constexpr const char* kCannotWriteSuffix = "; nothing was written.";
inline constexpr const char* kPathMustEnd = "the path must end in ";
inline constexpr const char* kNotADocument = "the file there is not ";
inline constexpr const char* kNoSuchFolder = "no such folder";
inline constexpr const char* kReplacesExisting =
    "\n  Note:    the existing file at this path will be replaced";

// Word.
inline constexpr const char* kZipMagicMissing =
    "ZIP magic missing on word_read \u2014 cloud placeholder, triggering brctl: ";
inline constexpr const char* kBadZipForcing =
    "BadZip/timeout on word_read \u2014 forcing brctl download: ";
inline constexpr const char* kStillUnreadableAfterDownload =
    "This file appears to be an OneDrive cloud placeholder that hasn't been fully downloaded. "
    "Attempted brctl download but the file is still not readable after 6 seconds. Open it once "
    "in Finder (double-click) to materialize it locally, then re-run this tool. macOS keeps the "
    "file cached after the first open.";
inline constexpr const char* kCannotReadDocx =
    "Cannot read .docx: not a valid file or missing unzip";
inline constexpr const char* kCannotReadDocumentXml = "Cannot read document.xml";
inline constexpr const char* kConverterFailed = "/usr/bin/textutil failed: ";
inline constexpr const char* kCannotZip = "Cannot zip .docx file";
inline constexpr const char* kCannotOpenForAppending = "Cannot open .docx for appending";
inline constexpr const char* kCannotWriteBack = "Cannot write back to .docx";
inline constexpr const char* kCreatePreviewHead =
    "Preview \u2014 Word document to be created:\n  Path:    ";
inline constexpr const char* kCreatePreviewTitle = "\n  Title:   ";
inline constexpr const char* kCreatePreviewNoTitle = "(none)";
inline constexpr const char* kCreatePreviewContent = "\n  Content: ";
inline constexpr const char* kAppendPreviewHead = "Preview \u2014 append to '";
inline constexpr const char* kAppendPreviewMiddle = "': '";
inline constexpr const char* kAppendPreviewTail = "'. Call again with confirm: true";
inline constexpr const char* kAppendedPrefix = "Appended ";
inline constexpr const char* kAppendedMiddle = " characters to ";

// Excel.
inline constexpr const char* kExcelZipMagicMissing =
    "ZIP magic missing on excel_read \u2014 cloud placeholder, triggering brctl: ";
inline constexpr const char* kExcelBadZipForcing =
    "BadZip/timeout on excel_read \u2014 forcing brctl download: ";
inline constexpr const char* kXlsxHeaderPrefix = "Cannot read .xlsx at ";
inline constexpr const char* kXlsxHeaderSuffix =
    " \u2014 the file header is not a valid ZIP. The file may be corrupted or not a real .xlsx "
    "file.";
inline constexpr const char* kCannotUnzipPrefix = "Cannot unzip .xlsx at ";
inline constexpr const char* kCannotUnzipSuffix = " \u2014 file may be corrupted or incomplete";
inline constexpr const char* kSheetNotFound = "Sheet not found in .xlsx file";
inline constexpr const char* kCannotReadWorksheet = "Cannot read worksheet XML";
// Then the requested name, kReadSheetInstead, the sheet read and "'".
inline constexpr const char* kNoSheetNamed = "No sheet named '";
inline constexpr const char* kReadSheetInstead = "' \u2014 read sheet '";
inline constexpr const char* kOneOfTheSheets = "one of the workbook's sheets: ";
inline constexpr const char* kRowsLeftOut =
    "Stopped at the size limit of one reply (10 MiB); rows left out: ";
inline constexpr const char* kExcelPreviewHead =
    "Preview \u2014 Excel file to be created:\n  Path:    ";
inline constexpr const char* kExcelPreviewHeaders = "\n  Headers: ";
inline constexpr const char* kExcelPreviewRows = "\n  Rows:    ";
inline constexpr const char* kPreviewCreateTail = "\nCall again with confirm: true to create.";
inline constexpr const char* kCellPreviewHead = "Preview \u2014 write '";
inline constexpr const char* kCellPreviewRow = "' to row ";
inline constexpr const char* kCellPreviewColumn = ", col ";
inline constexpr const char* kCellPreviewPath = " in '";
inline constexpr const char* kCellPreviewTail = "'. Call again with confirm: true";
inline constexpr const char* kPositiveInteger = "positive integer";
inline constexpr const char* kUpToLastRow = "positive integer up to 1048576, a sheet's last row";
inline constexpr const char* kUpToLastColumn =
    "positive integer up to 16384, a sheet's last column (XFD)";

// PowerPoint.
inline constexpr const char* kCannotReadPptx = "Cannot read .pptx at ";
inline constexpr const char* kReasonSeparator = " \u2014 ";
inline constexpr const char* kNoSlidesInArchive = "no slides in archive";
inline constexpr const char* kCannotWritePptx = "Cannot write .pptx at ";
inline constexpr const char* kPptPreviewHead =
    "Preview \u2014 PowerPoint to be created:\n  Path:   ";
inline constexpr const char* kPptPreviewSlides = "\n  Slides: ";

}  // namespace tvrn::OfficeTexts
