#include "platform/JsonObjectFile.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/FileStore.h"

namespace tvrn::JsonObjectFile {
namespace {

// "line L, column C: <what is wrong>" of a parse failure of `text`, counted (in bytes, as the
// parser counts) up to the byte where the parser stopped.
std::string whereItFails(const std::string& text, const nlohmann::json::parse_error& failure) {
  const std::size_t stop = std::min(failure.byte, text.size() + 1);  // from 1; size + 1: the end
  std::size_t line = 1, lineStart = 0;
  for (std::size_t i = 0; i + 1 < stop; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  const std::size_t column = stop > lineStart ? stop - lineStart : 1;
  // "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while ..."
  std::string what = failure.what();
  if (const auto colon = what.find(": ", what.find("parse error")); colon != std::string::npos) {
    what.erase(0, colon + 2);
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}

}  // namespace

Contents read(const std::filesystem::path& file) {
  Contents contents;
  FileStore::ReadError error;
  std::optional<std::string> bytes = FileStore::readOwn(file, &error);
  if (!bytes) {
    if (error.refused) {
      contents.refused = error.reason;
    } else if (!error.missing) {
      contents.readError = error.reason;
    }
    return contents;
  }
  try {
    nlohmann::json parsed = nlohmann::json::parse(*bytes);
    if (parsed.is_object()) {
      contents.object = std::move(parsed);
    } else {
      contents.damaged = true;
      contents.parseError = std::string("it holds a JSON ") + parsed.type_name() + ", not an object";
    }
  } catch (const nlohmann::json::parse_error& failure) {
    contents.damaged = true;
    contents.parseError = whereItFails(*bytes, failure);
  } catch (const nlohmann::json::exception& failure) {
    contents.damaged = true;
    contents.parseError = failure.what();
  }
  return contents;
}

bool write(const std::filesystem::path& file, const nlohmann::json& object, std::string* refused) {
  const auto target = FileStore::throughLinks(file);
  if (!target) {
    if (refused != nullptr) *refused = target.error();
    return false;
  }
  const std::string text =
      object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return FileStore::writeAtomic(target.value(), text, 0600);
}

Update update(const std::filesystem::path& path, const std::function<void(nlohmann::json&)>& change,
              Damaged damaged) {
  Update result;
  // Read through the path itself: a link that leads nowhere is something that cannot be read.
  Contents contents = read(path);
  result.damaged = contents.damaged;
  result.readError = contents.readError;
  result.refused = contents.refused;
  if (contents.readError || contents.refused) return result;
  if (contents.damaged && damaged == Damaged::keep) return result;
  const auto target = FileStore::throughLinks(path);
  if (!target) {
    result.refused = target.error();
    return result;
  }
  const std::filesystem::path& file = target.value();
  if (contents.damaged) {
    result.movedAside = FileStore::moveAside(file);
    if (!result.movedAside) return result;
  }
  change(contents.object);
  std::string refused;  // a link put in the file's place meanwhile
  result.written = write(file, contents.object, &refused);
  if (!refused.empty()) result.refused = refused;
  // Without a new file the damaged one is still the best the user has.
  if (!result.written && result.movedAside &&
      std::rename(result.movedAside->c_str(), file.c_str()) == 0) {
    result.movedAside.reset();
  }
  return result;
}

bool writtenReportingRefusal(const Update& update) {
  if (update.refused) std::fprintf(stderr, "tavrin: not written: %s\n", update.refused->c_str());
  return update.written;
}

}  // namespace tvrn::JsonObjectFile
