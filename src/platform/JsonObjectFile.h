// A JSON object kept in one private file (settings, stored secrets, user defaults): read as an
// object, changed and written back atomically, and never silently replaced when it is damaged
// or cannot be read.
#pragma once

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tvrn::JsonObjectFile {

// What a reader asks of a file beyond holding a JSON object. A file that breaks a rule is
// damaged: which of two values was meant, or what a switch set otherwise says, is unknown.
struct Rules {
  bool uniqueKeys = false;  // no key given twice in one object, at any depth
  // Top-level members that, when present, must be true or false.
  std::vector<std::string> switches;
};

struct Contents {
  nlohmann::json object = nlohmann::json::object();  // empty when missing, unread or damaged
  bool damaged = false;  // the file was read but does not hold a JSON object the rules take
  // Why, when damaged: "line L, column C: <what is wrong>" where it does not parse or breaks a
  // rule (the key's place for a rule).
  std::string parseError;
  bool unclear = false;  // damaged only by a switch that is not true or false
  // Why a file that is there could not be read (no descriptor left, an I/O error, a folder in
  // its place): its contents are unknown, not empty.
  std::optional<std::string> readError;
  // Why the file was not read at all (FileStore::readOwn): a link on the way to it, or the file
  // itself, belongs to another user. Its contents are unknown too.
  std::optional<std::string> refused;
};

// Reads the file as FileStore::readOwn does; a missing file is an empty object, as is a damaged
// one (flagged) and one that could not be read or was refused (with the reason).
Contents read(const std::filesystem::path& file, const Rules& rules = {});

// Pretty-printed with sorted keys, written atomically with mode 0600 in a 0700 folder. Invalid
// UTF-8 in strings is replaced, so a value can never make the write fail. A symbolic link stays
// one: the file it leads to is replaced, as is by update(); where FileStore::throughLinks follows
// no link, nothing is written and the reason is put in *refused when given.
[[nodiscard]] bool write(const std::filesystem::path& file, const nlohmann::json& object,
                         std::string* refused = nullptr);

struct Update {
  bool written = false;
  bool damaged = false;  // the file held no JSON object when it was read
  // Set when the file could not be read: nothing was written and the file was left alone.
  std::optional<std::string> readError;
  // Where a damaged file was moved before the new one took its place.
  std::optional<std::filesystem::path> movedAside;
  // Why a link on the way to the file was not followed (FileStore::throughLinks), or why the file
  // was not read (it belongs to another user): nothing was written or moved, and every link and
  // file stays as it was.
  std::optional<std::string> refused;
};

// What happens to a file that holds no JSON object when it is to be changed.
enum class Damaged {
  moveAside,  // renamed to "<name>.corrupt-<UTC time>", then a new file is written
  keep,       // left exactly as it is, and nothing is written
};

// One read-change-write of the file; the caller holds whatever lock guards it. A damaged file
// moved aside keeps all it held; when that rename fails nothing is written, and when the write
// after it fails the file is renamed back. A file that cannot be read is never changed.
[[nodiscard]] Update update(const std::filesystem::path& file,
                            const std::function<void(nlohmann::json&)>& change,
                            Damaged damaged = Damaged::moveAside, const Rules& rules = {});

// Whether the update was written. A link it did not follow is said on standard error, for the
// stores below the server's log, which have no other way to tell the user why.
[[nodiscard]] bool writtenReportingRefusal(const Update& update);

}  // namespace tvrn::JsonObjectFile
