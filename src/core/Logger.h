// The process-wide diagnostic log: one line per event, tagged with a lower-case category and a
// level, written to standard error and, once configured, appended to the server log. Safe to
// call from any thread, before or after configure().
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tvrn::Logger {

// Points the log at a file (0600, made empty when missing), which lines are then appended to;
// nothing is cut until startTrimming(). Called once at start-up; until then lines reach standard
// error only.
void configure(const std::filesystem::path& url);

// Cuts the configured file to its last 2000 lines (at most 512 KiB of them), and so again
// whenever it grows past 1 MiB while the process runs. Only the process that serves calls it,
// once it holds the socket: every copy of the program appends to the one file, and a copy that
// finds a server running must not drop that server's lines.
void startTrimming();

void info(std::string_view category, std::string_view message);
void warn(std::string_view category, std::string_view message);
void error(std::string_view category, std::string_view message);
// error(), handing back the line it wrote, for a copy where the log cannot be pointed.
std::string errorLine(std::string_view category, std::string_view message);

// Writes "<UTC time> [<category>] <text>" as one line; info, warn and error put their level
// word in front of the message.
void log(std::string_view category, std::string_view text);

}  // namespace tvrn::Logger
