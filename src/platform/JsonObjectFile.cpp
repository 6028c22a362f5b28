#include "platform/JsonObjectFile.h"

#include <cstdio>
#include <string>

#include "platform/FileStore.h"

namespace tvrn::JsonObjectFile {
namespace {

// "line L, column C: <what is wrong>" of a parse failure, as the parser tells it:
// "[json.exception.parse_error.101] parse error at line 3, column 1: syntax error while ...".
std::string whereItFails(const nlohmann::json::parse_error& failure) {
  const std::string what = failure.what();
  const auto at = what.find("line ");
  return at == std::string::npos ? what : what.substr(at);
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
    contents.parseError = whereItFails(failure);
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
