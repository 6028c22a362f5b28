// The process-wide diagnostic log: one line per event, tagged with a lower-case category and a
// level, written to standard error and, once configured, appended to the server log. Safe to
// call from any thread, before or after configure().
#pragma once

#include <filesystem>
#include <string_view>

namespace tvrn::Logger {

// Points the log at a file (0600, made empty when missing) and cuts the file to its last 2000
// lines (at most 512 KiB of them). Whenever the file grows past 1 MiB while the process runs, it
// is cut so again. Called once at start-up; until then lines reach standard error only.
void configure(const std::filesystem::path& url);

void info(std::string_view category, std::string_view message);
void warn(std::string_view category, std::string_view message);
void error(std::string_view category, std::string_view message);

// Writes "<UTC time> [<category>] <text>" as one line; info, warn and error put their level
// word in front of the message.
void log(std::string_view category, std::string_view text);

}  // namespace tvrn::Logger
