// What the document tools share: running a short Python script that prints JSON (installing a
// missing Office module once), reading a file's first bytes without hanging on a placeholder,
// making sure a file in a cloud folder has its contents before it is read, and the small pieces of
// markup handling every Office format needs.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Timeouts.h"
#include "core/ToolDefinition.h"
#include "platform/CloudPlaceholderProbe.h"
#include "platform/OpenFolder.h"
#include "platform/RegularFile.h"

namespace tvrn::OfficeServices {

// The interpreter named by this variable wins over the ones looked for: the first of PATH's
// python3 and /usr/bin/python3 that imports openpyxl.
inline constexpr const char* kPythonVariable = "TVRN_PYTHON";

// What is read of a cloud file to tell whether its contents are local.
inline constexpr std::size_t kHeaderBytes = 4;
inline constexpr double kHeaderSeconds = 2.0;

struct PythonLimits {
  std::chrono::milliseconds run{static_cast<long>(Timeouts::officeSubprocess * 1000)};
  // Both install attempts together.
  std::chrono::milliseconds pipInstall{static_cast<long>(Timeouts::pipInstall * 1000)};
};

// Runs the script with the arguments and decodes what it printed (an object or an array). A
// missing openpyxl or pptx module is installed once with pip and the script run again; any other
// missing module is only reported. A missing module's text names the interpreter tried. `input`,
// when given, is the script's standard input.
Result<nlohmann::json, ToolError> runPythonScript(
    std::string_view script, const std::vector<std::string>& args, bool retried = false,
    const PythonLimits& limits = {}, const std::optional<std::string>& input = std::nullopt);

// Up to `length` bytes from the start of the file, read on a thread of its own so that a file
// that never answers (a placeholder) costs the caller only the time-out; nothing when it cannot
// be opened as a regular file or does not answer in time. The readers left behind finish on their
// own; while too many of them are still waiting, the answer is nothing at once.
std::optional<std::string> readFileHeaderWithTimeout(const std::filesystem::path& file,
                                                     std::size_t length, double timeoutSeconds);
// The same of a file the caller holds open; `name` is the name it goes by in the log.
std::optional<std::string> readFileHeaderWithTimeout(const RegularFile& file,
                                                     const std::string& name, std::size_t length,
                                                     double timeoutSeconds);
// How many header readers are still running.
int headerReadersRunning();

// True when the path lies in a cloud-synchronised folder.
bool isCloudPath(std::string_view path);

// Nothing when the file may be read now (outside the cloud, or local, or downloaded within the
// wait); else the error for the tool's caller.
std::optional<ToolError> ensureNotCloudPlaceholder(const std::string& path,
                                                   const PlaceholderPolling& polling = {});

// Asks for a download and waits for it, without any test first; the caller tries the file again
// to learn whether it arrived.
void forceCloudPlaceholderDownload(const std::string& path, const PlaceholderPolling& polling = {});

// True when the bytes begin a ZIP archive ("PK" 3 4), as every Office package does.
bool hasZipMagic(const std::optional<std::string>& header);

// The file at the path opened once for a reader, and judged by what was opened rather than by
// the path: the refusal when it is kept in the system's own folders (reached through any link,
// or a second name of one of their files), "Not found" when nothing is there, or why it cannot
// be read as a regular file once links are followed (a folder, a pipe, a device).
Result<RegularFile, ToolError> openForReading(const std::string& path);

// openForReading, and for a file in a cloud folder the wait for its contents
// (ensureNotCloudPlaceholder, unless `checkPlaceholder` is false) and then the file opened
// again, since a download puts a new file in the placeholder's place.
Result<RegularFile, ToolError> openDocument(const std::string& path,
                                            const PlaceholderPolling& polling = {},
                                            bool checkPlaceholder = true);

// A kind of document the writers make: its extension (without the dot), the part every such
// package holds, and its name as texts use it.
struct DocumentKind {
  const char* extension;
  const char* mainPart;
  const char* name;
};
inline constexpr DocumentKind kWordDocument{"docx", "word/document.xml", "a Word document"};
inline constexpr DocumentKind kExcelWorkbook{"xlsx", "xl/workbook.xml", "an Excel workbook"};
inline constexpr DocumentKind kPowerPointDeck{"pptx", "ppt/presentation.xml",
                                              "a PowerPoint presentation"};

// Where a writer writes for the path: the file it really leads to (links followed), as a name in
// its folder, which is held open so that the folder judged is the folder written into.
struct DocumentTarget {
  std::optional<OpenFolder> folder;  // absent when the folder cannot be opened
  int folderError = 0;               // then why not
  std::string name;
  std::optional<RegularFile> existing;  // the document there now, opened for reading
  // A new document's (LocalFiles::newDocumentMode), or the one of the document it replaces.
  mode_t mode = 0600;

  bool exists() const { return existing.has_value(); }
};

// The target of a writer of that kind, or the refusal naming the path when the path does not end
// in the kind's extension (letter case aside), leads into the system's own folders (judged by the
// folder and the file opened), or leads to something that is not a regular file holding a
// package of that kind. A refused target is left as it is.
Result<DocumentTarget, ToolError> documentTarget(const std::string& path, const DocumentKind& kind);

// The failure of a writer that wrote nothing to the path, saying why.
ToolError cannotWrite(const std::string& path, const std::string& reason);

// Puts the document's bytes in the target's place through its folder, with exactly the target's
// mode; a link put in the file's place meanwhile is replaced, never followed. The
// error says why nothing was written ("no such folder" when the folder is missing).
Result<bool, std::string> writeDocument(const DocumentTarget& target, std::string_view bytes);

// Runs a script that saves a document. Its arguments are the path the caller named, a new file in
// a private scratch folder that it saves the document to, and then `args`; `input`, when given,
// is its standard input. When it succeeds, what it saved is put in the target's place
// (writeDocument) and what it printed is returned.
Result<nlohmann::json, ToolError> runSavingScript(std::string_view script, const std::string& path,
                                                  const DocumentTarget& target,
                                                  const std::vector<std::string>& args,
                                                  const std::optional<std::string>& input);

// Text made safe for XML character data and attribute values. Control characters that XML cannot
// hold at all are dropped, since one of them would make the whole part unreadable.
std::string escapedXml(std::string_view text);

// An XML name without its namespace prefix ("w:body" is "body").
std::string_view localName(const char* name);

// What an element stands for in a part's text: `opening` in place of its start tag, `closing`
// in place of its end tag.
struct TagText {
  std::string_view opening;
  std::string_view closing;
};

// The text of an XML part in document order, its entities and character references decoded (so
// "&amp;" reads "&", as it was written), with each element's tags replaced by what `tags` gives
// for its name and its parent's (empty at the top); carriage returns stay as written. Nothing
// when the part is not well-formed XML.
std::optional<std::string> textOfXml(
    std::string_view xml,
    const std::function<TagText(std::string_view name, std::string_view parent)>& tags);

}  // namespace tvrn::OfficeServices
