// The durable record of tool calls: one compact JSON object per call, appended to audit.log
// ({"ts","tool","source","ok","ms"}), and read back newest first by the audit-log tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "core/CallSource.h"

namespace tvrn::AuditLog {

// How many records the file keeps across starts.
inline constexpr std::size_t kKeptLines = 10000;

// Points the log at its file: the folder is made 0700 and the file 0600 when missing, and the
// file is cut to its last kKeptLines records. Until this runs, record does nothing and recent
// finds nothing.
void configure(const std::filesystem::path& url);

// Appends one record stamped now (UTC, to the second); `ms` is the call's duration. Failures are
// silent: the record is lost.
void record(std::string_view tool, CallSource source, bool ok, std::int64_t ms);

// Up to `limit` records, newest first, each an object. Lines that are not a JSON object are
// skipped without an older line taking their place; a negative limit counts as 0.
std::vector<nlohmann::json> recent(int limit = 50);

}  // namespace tvrn::AuditLog
