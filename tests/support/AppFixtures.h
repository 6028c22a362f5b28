// Other applications' files as tests lay them out in the private home: property lists (XML or
// binary), application bundles and SQLite databases made with the sqlite3 program.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace tvrn::test {

enum class PlistFormat { xml, binary };

// The value (objects, arrays, strings, integers, reals, booleans) as a property-list file.
void writePlist(const std::filesystem::path& file, const nlohmann::json& value,
                PlistFormat format = PlistFormat::xml);

// ~/Applications/<name>.app with the given information dictionary; its path.
std::filesystem::path placeBundle(const std::string& name, const nlohmann::json& info = {});

// ~/Library/Preferences/<domain>.plist.
void writeDefaults(const std::string& domain, const nlohmann::json& entries,
                   PlistFormat format = PlistFormat::xml);

// Runs the statements against the database file (created when missing); false when sqlite3 fails.
bool runSqlite(const std::filesystem::path& database, const std::string& statements);

}  // namespace tvrn::test
