// The only code that changes AI clients' MCP configuration files: adds, re-points or removes the
// system's server entry and leaves everything else in the file as the user had it. A file that is
// there but cannot be read, or is not a plain JSON object (comments, trailing commas), is never
// written; writes are atomic, follow a link to its target and keep the file's mode.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "status/AIClientDef.h"

namespace tvrn::ClientConfigEditor {

// The key of the system's server in a client's servers object.
inline constexpr const char* kServerKey = "tavrin";

// The user default listing the client files that were not there until the set-up wrote our
// entry: the only ones the uninstall may remove.
inline constexpr const char* kCreatedFilesKey = "clients_created_files";

// The top-level member holding the servers for a client's file shape.
std::string serversKey(const AIClientDef& client);

// The entry that makes the client start `command` with no arguments, in the client's shape.
nlohmann::ordered_json entry(const AIClientDef& client, const std::string& command);

// The file as an object: an empty object when nothing is at the path; nothing when it is there
// but unreadable or not a JSON object.
std::optional<nlohmann::ordered_json> load(const std::filesystem::path& file);

// Writes the object pretty-printed, atomically beside the real file (through a link of the user's
// or root's; another's is refused with a warning), keeping the old file's mode (0600 for a new
// file). False when nothing was written.
[[nodiscard]] bool save(const std::filesystem::path& file, const nlohmann::ordered_json& config);

// Sets servers["tavrin"] to the entry for `command`, replacing any earlier one whole, and records
// the file under kCreatedFilesKey when nothing was at its path before. False when the file is not
// usable or the write failed.
[[nodiscard]] bool addEntry(const AIClientDef& client, const std::string& command);

// Removes every server key whose lower-cased form holds "tavrin" or "tvrn" from "mcpServers",
// "servers" and "context_servers". The file is rewritten only when something was removed, and
// removed when what is left is nothing but empty servers objects (the skeleton the set-up wrote
// around our entry) and the set-up made the file; a file that was there before, or a link, keeps
// the skeleton.
[[nodiscard]] bool removeOurs(const std::filesystem::path& file);

}  // namespace tvrn::ClientConfigEditor
