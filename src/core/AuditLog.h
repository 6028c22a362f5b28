// The durable record of tool calls: one compact JSON object per call, appended to audit.log
// ({"ts","tool","source","ok","ms"}), and read back newest first by the audit-log tool. A call
// hands its record to a writer thread without waiting; the writer appends what has gathered
// every few milliseconds (QueuedLineLog), so a process killed outright loses the records of
// its last moments, while shutdown() loses none. A session flushes the record of a call that may
// have changed something before it answers, so that one is never among those lost.
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

// Returns once every record made before the call is in the file.
void flush();

// The clean stop's last step: writes every record still waiting, and each later one at once on
// the caller's thread, after the records made before it.
void shutdown();

// Up to `limit` records, newest first, each an object. Lines that are not a JSON object are
// skipped without an older line taking their place; a negative limit counts as 0. Records still
// waiting are written first.
std::vector<nlohmann::json> recent(int limit = 50);

}  // namespace tvrn::AuditLog
