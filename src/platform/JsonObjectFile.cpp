#include "platform/JsonObjectFile.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

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

// The parser's walk through the text, telling how far it has read: a callback's finding (a key
// just read) is placed where the parser stands.
class ReadingPlace {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ReadingPlace(const char* at, const char** reached) : at_(at), reached_(reached) {}
  reference operator*() const { return *at_; }
  ReadingPlace& operator++() {
    *reached_ = ++at_;
    return *this;
  }
  ReadingPlace operator++(int) {
    ReadingPlace before = *this;
    ++*this;
    return before;
  }
  bool operator==(const ReadingPlace& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** reached_;
};

// "line L, column C" of the character before `end`, counted as the parser counts for its own
// errors.
std::string placeOf(std::string_view text, std::size_t end) {
  const std::string_view before = text.substr(0, end);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t feed = before.rfind('\n');
  const std::size_t column = feed == std::string_view::npos ? end : end - feed - 1;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string quoted(const std::string& key) {
  return nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "1", "\"true\"", "an object": a value as a message shows it.
std::string shown(const nlohmann::json& value) {
  if (value.is_object()) return "an object";
  if (value.is_array()) return "an array";
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The text as an object, keeping the reader's rules; throws the parser's errors.
nlohmann::json parsed(const std::string& text, const Rules& rules, Contents& contents) {
  if (!rules.uniqueKeys && rules.switches.empty()) return nlohmann::json::parse(text);
  using Event = nlohmann::json::parse_event_t;
  const char* reached = text.data();
  std::vector<std::set<std::string>> openObjects;
  std::map<std::string, std::size_t> switchPlaces;  // where each switch's key ends
  std::optional<std::string> twice;
  const auto callback = [&](int depth, Event event, nlohmann::json& value) {
    if (event == Event::object_start) openObjects.emplace_back();
    if (event == Event::object_end) openObjects.pop_back();
    if (event != Event::key) return true;
    const auto& key = value.get_ref<const std::string&>();
    const auto end = static_cast<std::size_t>(reached - text.data());
    if (rules.uniqueKeys && !twice && !openObjects.back().insert(key).second) {
      twice = placeOf(text, end) + ": the key " + quoted(key) + " is given twice";
    }
    const auto& switches = rules.switches;
    if (depth == 1 && std::find(switches.begin(), switches.end(), key) != switches.end()) {
      switchPlaces[key] = end;
    }
    return true;
  };
  nlohmann::json object =
      nlohmann::json::parse(ReadingPlace(text.data(), &reached),
                            ReadingPlace(text.data() + text.size(), &reached), callback);
  if (twice) {
    contents.damaged = true;
    contents.parseError = *twice;
    return nlohmann::json::object();
  }
  for (const auto& [key, end] : switchPlaces) {
    const auto& value = object.at(key);  // a key at depth 1 is a member of the top object
    if (value.is_boolean()) continue;
    contents.damaged = contents.unclear = true;
    contents.parseError =
        placeOf(text, end) + ": " + quoted(key) + " is " + shown(value) + ", not true or false";
    return nlohmann::json::object();
  }
  return object;
}

}  // namespace

Contents read(const std::filesystem::path& file, const Rules& rules) {
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
    nlohmann::json object = parsed(*bytes, rules, contents);
    if (contents.damaged) return contents;
    if (object.is_object()) {
      contents.object = std::move(object);
    } else {
      contents.damaged = true;
      contents.parseError =
          std::string("it holds a JSON ") + object.type_name() + ", not an object";
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
              Damaged damaged, const Rules& rules) {
  Update result;
  // Read through the path itself: a link that leads nowhere is something that cannot be read.
  Contents contents = read(path, rules);
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
