// The local file tools' texts and tables as users and clients see them.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace tvrn::FilesystemTexts {

inline const std::set<std::string, std::less<>> kReadableExtensions = {
    "txt",          "md",         "markdown",   "csv",     "tsv",   "log",  "rtf",
    "json",         "xml",        "yaml",       "yml",     "toml",  "ini",  "conf",
    "env",          "properties", "html",       "htm",     "css",   "svg",  "js",
    "ts",           "tsx",        "jsx",        "py",      "swift", "java", "go",
    "rs",           "rb",         "php",        "c",       "cpp",   "h",    "hpp",
    "cs",           "kt",         "sh",         "bash",    "zsh",   "sql",  "gitignore",
    "editorconfig", "prettierrc", "dockerfile", "makefile"};

constexpr std::string_view kNotText =
    "text file. For PDFs use pdf_read, for Word use word_read, for Excel use excel_read.";
constexpr std::string_view kCannotDecode =
    "Cannot decode file. It may be binary. Use pdf_read for PDFs.";
constexpr std::string_view kTruncated = "  (truncated — use offset/max_bytes to page)";
constexpr std::string_view kExpandAccess = "To expand access add the path to fs_allowed_roots in ";

constexpr std::string_view kListDescription =
    "Lists files and folders in a local directory. Defaults to the user's home directory. "
    "Returns name, path, type (file/directory), size, and modification date for each item. "
    "Sorted: directories first, then files, both alphabetically.";
constexpr std::string_view kListPath =
    "Absolute path to the directory. Defaults to the home directory (~) if omitted.";
constexpr std::string_view kListShowHidden =
    "Include hidden files (starting with '.'). Default false.";

constexpr std::string_view kSearchDescription =
    "Searches for files and folders by name (case-insensitive, partial match) starting from a "
    "root directory. Defaults to the home directory. Returns matching items with path, type, "
    "and size.";
constexpr std::string_view kSearchQuery =
    "Filename pattern to search for (partial, case-insensitive)";
constexpr std::string_view kSearchRoot =
    "Root directory to search from. Defaults to home directory (~).";
constexpr std::string_view kSearchMaxResults =
    "Maximum number of results to return. Default 50, max 200.";
constexpr std::string_view kSearchFileType =
    "Filter by extension, e.g. 'pdf', 'docx', 'xlsx'. Omit for all types.";

constexpr std::string_view kReadDescription =
    "Reads a text file from the local filesystem. Supports .txt, .md, .csv, .json, .xml, .log, "
    ".yaml, .toml and common code file types. For PDFs use pdf_read, for Word use word_read, for "
    "Excel use excel_read.";
constexpr std::string_view kReadPath = "Absolute path to the file";
constexpr std::string_view kReadOffset = "Start reading at this byte offset (default 0)";
constexpr std::string_view kReadMaxBytes = "Maximum bytes to read (default 1 MB, max 10 MB)";

}  // namespace tvrn::FilesystemTexts
