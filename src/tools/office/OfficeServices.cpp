#include "tools/office/OfficeServices.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <set>
#include <thread>

#include "base/Utf8.h"
#include "core/Logger.h"
#include "platform/HardwareId.h"
#include "platform/Paths.h"
#include "platform/RegularFile.h"
#include "platform/Subprocess.h"
#include "platform/ZipArchive.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/ScratchFolder.h"
#include "tools/office/OfficeTexts.h"

namespace tvrn::OfficeServices {
namespace {

using namespace OfficeTexts;
using Clock = SubprocessClock;

constexpr const char* kFallbackPython = "/usr/bin/python3";
// What every document script imports.
constexpr const char* kScriptModule = "openpyxl";
constexpr std::size_t kParseExcerptCharacters = 200;
constexpr std::size_t kPipOutputKept = 4096;
// Header readers that may be left waiting on files that never answer; past this, no new reader
// is started, so stuck files cannot pile up threads without end.
constexpr int kMaxStrandedReaders = 8;

// The Python modules the tools use and the pip package of each; nothing else is ever installed.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kInstallableModules = {
    {{"openpyxl", "openpyxl"}, {"pptx", "python-pptx"}}};

std::string trimmed(std::string_view text) {
  return std::string(Utf8::trim(text, Utf8::isWhiteSpace));
}

std::string wholeSeconds(std::chrono::milliseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

// Looks python3 up on PATH, bounded like any other program run by the tools.
std::optional<std::string> shellWhich(const std::string& program) {
  RunOptions options;
  options.timeout = std::chrono::milliseconds(static_cast<long>(Timeouts::officeSubprocess * 1000));
  const auto done = Subprocess::run({{"/usr/bin/which", program}}, options);
  if (!done.launched || done.timedOut || !Utf8::isValid(done.standardOutput)) return std::nullopt;
  std::string path = trimmed(done.standardOutput);
  if (path.empty()) return std::nullopt;
  return path;
}

// Whether the interpreter imports the module every document script needs. Only a yes is
// remembered, so a module installed later is found by the next call.
bool importsScriptModule(const std::string& python) {
  static std::mutex mutex;
  static std::set<std::string> importing;  // guarded by mutex
  {
    std::lock_guard lock(mutex);
    if (importing.contains(python)) return true;
  }
  RunOptions options;
  options.timeout = std::chrono::milliseconds(static_cast<long>(Timeouts::officeSubprocess * 1000));
  options.outputLimit = kPipOutputKept;
  const auto done =
      Subprocess::run({{python, "-c", std::string("import ") + kScriptModule}}, options);
  if (!done.launched || done.timedOut || done.exit.signalled || done.exit.status != 0) {
    return false;
  }
  std::lock_guard lock(mutex);
  importing.insert(python);
  return true;
}

// TVRN_PYTHON when set; else the first of PATH's python3 and the system's that imports the
// scripts' module (a virtual environment or pyenv first on PATH often cannot see the system's
// packages); else the first of them, where the module is then installed.
std::string pythonInterpreter() {
  const char* configured = std::getenv(kPythonVariable);
  if (configured != nullptr && *configured != '\0') return configured;
  std::vector<std::string> candidates;
  if (auto onPath = shellWhich("python3")) candidates.push_back(std::move(*onPath));
  if (candidates.empty() || candidates.front() != kFallbackPython) {
    candidates.emplace_back(kFallbackPython);
  }
  for (const std::string& python : candidates) {
    if (importsScriptModule(python)) return python;
  }
  return candidates.front();
}

// A private script file that is removed when this goes out of scope, on every path.
class ScriptFile {
 public:
  explicit ScriptFile(std::string_view text)
      : path_(Paths::tempDir() / (HardwareId::randomUUID() + ".py")) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return;
    written_ = true;
    while (!text.empty() && written_) {
      const ssize_t n = ::write(fd, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      written_ = n > 0;
      if (written_) text.remove_prefix(static_cast<std::size_t>(n));
    }
    written_ = (::close(fd) == 0) && written_;
  }
  ~ScriptFile() { ::unlink(path_.c_str()); }
  ScriptFile(const ScriptFile&) = delete;
  ScriptFile& operator=(const ScriptFile&) = delete;

  bool written() const { return written_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool written_ = false;
};

std::string decoded(const std::string& bytes) { return Utf8::isValid(bytes) ? bytes : ""; }

// The text between the first two single quotes of standard error ("No module named 'pptx'"), or
// to its end without a second quote; empty without any quote.
std::string missingModuleName(const std::string& standardError) {
  const auto open = standardError.find('\'');
  if (open == std::string::npos) return "";
  const auto close = standardError.find('\'', open + 1);
  return standardError.substr(open + 1,
                              close == std::string::npos ? std::string::npos : close - open - 1);
}

std::optional<std::string_view> packageFor(std::string_view module) {
  for (const auto& [name, package] : kInstallableModules) {
    if (name == module) return package;
  }
  return std::nullopt;
}

// Two attempts, the second for systems that refuse user installs by default, sharing one budget.
bool installPackage(const std::string& python, std::string_view package,
                    std::chrono::milliseconds budget) {
  const auto deadline = Clock::now() + budget;
  const std::array<std::vector<std::string>, 2> attempts = {
      std::vector<std::string>{"--user"},
      std::vector<std::string>{"--user", "--break-system-packages"}};
  for (const auto& flags : attempts) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    std::vector<std::string> argv = {python, "-m", "pip", "install", "--quiet"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.emplace_back(package);
    RunOptions options;
    options.timeout = left;
    options.outputLimit = kPipOutputKept;
    const auto done = Subprocess::run(argv, options);
    if (done.launched && !done.timedOut && !done.exit.signalled && done.exit.status == 0) {
      return true;
    }
  }
  return false;
}

ToolError dependencyMissing(const std::string& module, std::string_view package,
                            const std::string& python) {
  return ToolError::executionFailed(std::string(kDependencyMissing) + module + kDependencyAdvice +
                                    std::string(package) + kInterpreterTried + python + ")");
}

std::string decimalSeconds(double seconds) {
  std::array<char, 32> buffer{};
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds);
  std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::atomic<int> runningHeaderReaders{0};

struct HeaderRead {
  std::mutex mutex;  // guards done and bytes
  std::condition_variable changed;
  bool done = false;
  std::optional<std::string> bytes;
};

// Through RegularFile: a pipe or a device gives nothing at once instead of a reader that waits.
std::optional<std::string> readHeader(const std::filesystem::path& file, std::size_t length) {
  auto opened = RegularFile::open(file);
  if (!opened) return std::nullopt;
  auto bytes = opened.value().readAt(0, length);
  if (!bytes) return std::string();
  return std::move(bytes).value();
}

std::string lowered(std::string_view text) { return Utf8::lowercased(text); }

// Runs the reader on a thread of its own and waits for it at most the time-out.
std::optional<std::string> headerWithTimeout(
    const std::function<std::optional<std::string>()>& reader, const std::string& name,
    double timeoutSeconds) {
  if (runningHeaderReaders.load() >= kMaxStrandedReaders) return std::nullopt;
  auto read = std::make_shared<HeaderRead>();
  ++runningHeaderReaders;
  try {
    std::thread([read, reader] {
      auto bytes = reader();
      {
        std::lock_guard lock(read->mutex);
        read->bytes = std::move(bytes);
        read->done = true;
      }
      read->changed.notify_all();
      --runningHeaderReaders;
    }).detach();
  } catch (const std::system_error&) {
    --runningHeaderReaders;
    return std::nullopt;
  }
  std::unique_lock lock(read->mutex);
  const auto timeout = std::chrono::duration<double>(timeoutSeconds);
  if (read->changed.wait_for(lock, timeout, [&] { return read->done; })) return read->bytes;
  lock.unlock();
  Logger::info(kCategory,
               kHeaderTimedOut + decimalSeconds(timeoutSeconds) + kHeaderTimedOutSuffix + name);
  return std::nullopt;
}

}  // namespace

Result<nlohmann::json, ToolError> runPythonScript(std::string_view script,
                                                  const std::vector<std::string>& args,
                                                  bool retried, const PythonLimits& limits,
                                                  const std::optional<std::string>& input) {
  const std::string python = pythonInterpreter();
  const ScriptFile file(script);
  if (!file.written()) return fail(ToolError::executionFailed(kCannotWriteScript));

  std::vector<std::string> argv = {python, file.path().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeout = limits.run;
  options.input = input;
  const auto done = Subprocess::run(argv, options);
  if (!done.launched) return fail(ToolError::executionFailed(kCannotRunPython + done.launchError));
  if (done.timedOut) {
    return fail(
        ToolError::executionFailed(kPythonTimedOut + wholeSeconds(limits.run) + kTimedOutSuffix));
  }
  const std::string standardOutput = decoded(done.standardOutput);
  const std::string standardError = decoded(done.standardError);

  if (!done.exit.signalled && done.exit.status == 0) {
    auto parsed = nlohmann::json::parse(standardOutput, nullptr, false);
    if (parsed.is_object() || parsed.is_array()) return parsed;
    return fail(ToolError::executionFailed(
        kCannotParsePython + Utf8::firstCharacters(standardOutput, kParseExcerptCharacters)));
  }

  const bool moduleMissing = standardError.find("ModuleNotFoundError") != std::string::npos ||
                             standardError.find("No module named") != std::string::npos;
  if (!retried && moduleMissing) {
    const std::string module = missingModuleName(standardError);
    const auto package = packageFor(module);
    if (!package) return fail(dependencyMissing(module, module, python));
    Logger::info(kCategory, kAutoInstalling + module);
    if (!installPackage(python, *package, limits.pipInstall)) {
      return fail(dependencyMissing(module, *package, python));
    }
    Logger::info(kCategory, kInstalledPrefix + std::string(*package) + kInstalledSuffix);
    return runPythonScript(script, args, true, limits, input);
  }
  return fail(ToolError::executionFailed(kPythonError +
                                         (standardError.empty() ? standardOutput : standardError)));
}

std::optional<std::string> readFileHeaderWithTimeout(const std::filesystem::path& file,
                                                     std::size_t length, double timeoutSeconds) {
  return headerWithTimeout([file, length] { return readHeader(file, length); }, file.string(),
                           timeoutSeconds);
}

std::optional<std::string> readFileHeaderWithTimeout(const RegularFile& file,
                                                     const std::string& name, std::size_t length,
                                                     double timeoutSeconds) {
  // The reader may outlive the caller's descriptor, so it reads through one of its own.
  auto own = file.duplicate();
  if (!own) return std::nullopt;
  auto held = std::make_shared<RegularFile>(std::move(own).value());
  return headerWithTimeout(
      [held, length]() -> std::optional<std::string> {
        auto bytes = held->readAt(0, length);
        if (!bytes) return std::string();
        return std::move(bytes).value();
      },
      name, timeoutSeconds);
}

int headerReadersRunning() { return runningHeaderReaders.load(); }

bool isCloudPath(std::string_view path) {
  return path.find("CloudStorage") != std::string_view::npos ||
         path.find("OneDrive") != std::string_view::npos;
}

std::optional<ToolError> ensureNotCloudPlaceholder(const std::string& path,
                                                   const PlaceholderPolling& polling) {
  if (!isCloudPath(path)) return std::nullopt;
  const auto size = CloudPlaceholderProbe::fileSize(path);
  const bool empty = size && *size == 0;
  const bool marked = CloudPlaceholderProbe::hasMarker(path);
  const auto header = readFileHeaderWithTimeout(path, kHeaderBytes, kHeaderSeconds);
  if (!marked && !empty && header && header->size() >= 4) return std::nullopt;

  Logger::info(kCategory, kPlaceholderDetected + path);
  if (CloudPlaceholderProbe::download(path, polling)) {
    Logger::info(kCategory, kPlaceholderDownloaded + path);
    return std::nullopt;
  }
  return ToolError::executionFailed(kStillPlaceholder);
}

void forceCloudPlaceholderDownload(const std::string& path, const PlaceholderPolling& polling) {
  if (CloudPlaceholderProbe::download(path, polling)) {
    Logger::info(kCategory, kForcedDownloadSucceeded + path);
  }
}

Result<RegularFile, ToolError> openForReading(const std::string& path) {
  auto opened = LocalFiles::openNamed(path);
  if (opened) return std::move(opened).value();
  const LocalFiles::NotOpened& why = opened.error();
  if (why.refusal) return fail(*why.refusal);
  if (why.missing) return fail(ToolError::resourceNotFound(path));
  return fail(ToolError::executionFailed(kCannotReadPrefix + path + ": " + why.reason));
}

Result<RegularFile, ToolError> openDocument(const std::string& path,
                                            const PlaceholderPolling& polling,
                                            bool checkPlaceholder) {
  auto file = openForReading(path);
  if (!file || !isCloudPath(path)) return file;
  if (checkPlaceholder) {
    if (auto error = ensureNotCloudPlaceholder(path, polling)) return fail(*error);
  }
  return openForReading(path);
}

ToolError cannotWrite(const std::string& path, const std::string& reason) {
  return ToolError::executionFailed(kCannotWritePrefix + path + kCannotWriteMiddle + reason +
                                    kCannotWriteSuffix);
}

Result<DocumentTarget, ToolError> documentTarget(const std::string& path,
                                                 const DocumentKind& kind) {
  const std::string extension = "." + std::string(kind.extension);
  const auto wrongName = [&] { return cannotWrite(path, kPathMustEnd + extension); };
  if (!lowered(path).ends_with(extension)) return fail(wrongName());
  if (auto refusal = LocalFiles::pathRefusal(path)) return fail(*refusal);
  auto reached = OpenFolder::reach(path);
  if (!reached) return fail(cannotWrite(path, reached.error()));
  DocumentTarget target;
  target.name = std::move(reached.value().name);
  target.mode = LocalFiles::newDocumentMode();
  target.folder = std::move(reached.value().folder);
  target.folderError = reached.value().folderError;
  if (target.folder) {
    if (auto refusal = LocalFiles::ownFolderRefusal(path, target.folder->fd())) {
      return fail(*refusal);
    }
  }
  if (!target.folder || !target.folder->holds(target.name)) {
    // A link whose target is missing creates that target: it too must be a document's name.
    if (!lowered(target.name).ends_with(extension)) return fail(wrongName());
    return target;
  }
  // Opened without following a link: one put there since the path was resolved is refused.
  auto opened = target.folder->openFile(target.name);
  if (!opened) return fail(cannotWrite(path, opened.error()));
  if (auto refusal = LocalFiles::ownFolderRefusal(path, opened.value().fd())) return fail(*refusal);
  if (auto holds = ZipArchive::hasMember(opened.value(), kind.mainPart); !holds || !holds.value()) {
    return fail(cannotWrite(path, std::string(kNotADocument) + kind.name + " (" + extension + ")"));
  }
  target.mode = target.folder->modeOf(target.name).value_or(target.mode);
  target.existing = std::move(opened).value();
  return target;
}

Result<bool, std::string> writeDocument(const DocumentTarget& target, std::string_view bytes) {
  if (!target.folder) {
    const bool missing = target.folderError == ENOENT || target.folderError == ENOTDIR;
    return fail(std::string(missing ? kNoSuchFolder : std::strerror(target.folderError)));
  }
  if (const int failed = target.folder->writeFile(target.name, bytes, target.mode); failed != 0) {
    return fail(std::string(std::strerror(failed)));
  }
  return true;
}

Result<nlohmann::json, ToolError> runSavingScript(std::string_view script, const std::string& path,
                                                  const DocumentTarget& target,
                                                  const std::vector<std::string>& args,
                                                  const std::optional<std::string>& input) {
  const ScratchFolder scratch;
  if (!scratch.made()) return fail(ToolError::executionFailed(kCannotWriteScript));
  const std::filesystem::path saved =
      scratch.path() / ("saved" + std::filesystem::path(target.name).extension().string());
  std::vector<std::string> argv = {path, saved.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto ran = runPythonScript(script, argv, false, {}, input);
  if (!ran) return ran;
  const auto bytes = RegularFile::read(saved);
  if (!bytes) return fail(cannotWrite(path, bytes.error()));
  if (auto written = writeDocument(target, bytes.value()); !written) {
    return fail(cannotWrite(path, written.error()));
  }
  return ran;
}

std::string escapedXml(std::string_view text) {
  // U+FFFE and U+FFFF, the two non-characters XML excludes.
  constexpr std::string_view kNonCharacterStart = "\xEF\xBF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (text.substr(i, 2) == kNonCharacterStart && i + 2 < text.size() &&
        (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
      i += 2;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
      case '\n':
      case '\r':
        out += c;
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

std::string_view localName(const char* name) {
  std::string_view view(name);
  const auto colon = view.find(':');
  return colon == std::string_view::npos ? view : view.substr(colon + 1);
}

std::optional<std::string> textOfXml(
    std::string_view xml,
    const std::function<TagText(std::string_view name, std::string_view parent)>& tags) {
  // White space between tags is text like any other; a fragment's loose text and several
  // top-level elements are taken as they stand.
  constexpr unsigned kOptions =
      (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata | pugi::parse_fragment;
  pugi::xml_document document;
  if (!document.load_buffer(xml.data(), xml.size(), kOptions, pugi::encoding_utf8)) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(xml.size());
  // Walked without recursion, so that no depth of nesting can exhaust the stack.
  const auto tagsOf = [&tags](pugi::xml_node element) {
    return tags(element.name(), element.parent().name());
  };
  pugi::xml_node node = document.first_child();
  while (node) {
    if (node.type() == pugi::node_element) {
      out += tagsOf(node).opening;
      if (node.first_child()) {
        node = node.first_child();
        continue;
      }
      out += tagsOf(node).closing;
    } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
      out += node.value();
    }
    while (!node.next_sibling() && node.parent() != document) {
      node = node.parent();
      out += tagsOf(node).closing;
    }
    node = node.next_sibling();
  }
  return out;
}

bool hasZipMagic(const std::optional<std::string>& header) {
  return header && header->size() >= 4 && header->compare(0, 4, "PK\x03\x04") == 0;
}

}  // namespace tvrn::OfficeServices
