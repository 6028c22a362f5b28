// A JSON object kept in one private file (settings, stored secrets, user defaults): read as an
// object, changed and written back atomically, and never silently replaced when it is damaged.
#pragma once

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

namespace tvrn::JsonObjectFile {

struct Contents {
  nlohmann::json object = nlohmann::json::object();  // empty when missing or damaged
  bool damaged = false;  // the file exists but does not hold a JSON object
};

// Reads the file; a missing file is an empty object, as is a damaged one (flagged).
Contents read(const std::filesystem::path& file);

// Pretty-printed with sorted keys, written atomically with mode 0600 in a 0700 folder. Invalid
// UTF-8 in strings is replaced, so a value can never make the write fail.
bool write(const std::filesystem::path& file, const nlohmann::json& object);

struct Update {
  bool written = false;
  bool damaged = false;  // the file held no JSON object when it was read
  // Where a damaged file was moved before the new one took its place.
  std::optional<std::filesystem::path> movedAside;
};

// One read-change-write of the file; the caller holds whatever lock guards it. A damaged file
// is first renamed to "<name>.corrupt-<UTC time>" so nothing it held is lost; when that rename
// fails nothing is written.
Update update(const std::filesystem::path& file,
              const std::function<void(nlohmann::json&)>& change);

}  // namespace tvrn::JsonObjectFile
