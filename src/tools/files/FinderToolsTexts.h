// The OneDrive tools' texts and tables as users and clients see them.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace tvrn::FinderTexts {

inline const std::set<std::string, std::less<>> kReadableExtensions = {
    "txt",          "md",         "csv",      "tsv",   "log",    "rtf",       "json",
    "xml",          "yaml",       "yml",      "toml",  "ini",    "conf",      "env",
    "properties",   "cfg",        "html",     "htm",   "css",    "svg",       "js",
    "ts",           "tsx",        "jsx",      "py",    "swift",  "java",      "go",
    "rs",           "rb",         "php",      "c",     "cpp",    "h",         "hpp",
    "cs",           "kt",         "scala",    "r",     "m",      "mm",        "sh",
    "bash",         "zsh",        "fish",     "bat",   "ps1",    "sql",       "graphql",
    "proto",        "dockerfile", "makefile", "cmake", "gradle", "gitignore", "gitattributes",
    "editorconfig", "prettierrc"};

constexpr std::string_view kNotText = "text file (.txt, .md, .csv, .json, .xml, .log, etc.)";
constexpr std::string_view kTruncated =
    "  (truncated — pass a higher max_bytes or use offset to page)";
constexpr std::string_view kCannotDecodeStart =
    "Cannot decode file with any supported encoding. Tried: ";
constexpr std::string_view kCannotDecodeEnd =
    ". The file may be binary or use an unsupported encoding. If you know it, pass "
    "encoding='latin1' or encoding='cp1252' explicitly.";
constexpr std::string_view kNoPermissionHint =
    "Permission denied — grant Full Disk Access to TVRN in System Settings → Privacy & Security "
    "→ Full Disk Access.";
constexpr std::string_view kGoneHint =
    "Directory no longer exists (may have been moved or OneDrive is re-syncing).";
constexpr std::string_view kNoMounts = "No OneDrive directories found";
constexpr std::string_view kChangeScopes = "To change this, edit onedrive_scopes in ";
constexpr std::string_view kPlaceUnknown =
    "Access restricted by your TVRN config, and where the path leads now cannot be told. ";
constexpr std::string_view kCannotSave = "Cannot save onedrive_scopes to ";

constexpr std::string_view kRootDescription = "Lists all mounted OneDrive directories on this Mac.";
constexpr std::string_view kListDescription =
    "Lists files and folders in a OneDrive path. Use onedrive_root to find valid paths.";
constexpr std::string_view kListPath = "Absolute path to the OneDrive folder";
constexpr std::string_view kReadDescription =
    "Reads a text file from OneDrive or the local filesystem. Supports .txt, .md, .csv, .json, "
    ".xml, .log and several code file types. Auto-detects UTF-8, falls back to "
    "Latin-1/Windows-1252 for legacy files (common in Latin American banking .TXT padrones).";
constexpr std::string_view kReadPath = "Absolute path to the file";
constexpr std::string_view kReadEncoding =
    "Force a specific encoding: 'auto' (default), 'utf8', 'latin1', 'cp1252', 'ascii', 'utf16'";
constexpr std::string_view kReadOffset = "Start reading at byte offset (default 0)";
constexpr std::string_view kReadMaxBytes =
    "Maximum bytes to read (default 1048576 = 1 MB, capped at 10485760 = 10 MB)";
constexpr std::string_view kSearchDescription =
    "Searches for files by name in a OneDrive directory (recursive).";
constexpr std::string_view kSearchQuery = "Filename pattern to search for";
constexpr std::string_view kSearchRoot = "Root OneDrive path to search in (optional)";
constexpr std::string_view kSearchMaxResults = "Maximum results (default 50)";
constexpr std::string_view kInfoDescription =
    "Returns metadata for a file or folder: size, modification date, type, and extension. "
    "Faster than listing the parent directory when you only need info about one item.";
constexpr std::string_view kInfoPath = "Absolute path to the file or folder";
constexpr std::string_view kScopeDescription =
    "Restricts TVRN's OneDrive access to a specific folder. Once set, all OneDrive tools (read, "
    "write, list, search, delete, move) only work inside the allowed folder. Pass an empty folder "
    "to remove the restriction. Changes take effect immediately.";
constexpr std::string_view kScopeRootName =
    "OneDrive root name (from onedrive_root, e.g. 'OneDrive-Brackwell')";
constexpr std::string_view kScopeFolder =
    "Allowed folder path relative to the root (e.g. '/000-Claude Personal Agent'). Empty string "
    "removes the scope.";
constexpr std::string_view kScopeConfirm = "Must be true to apply";

}  // namespace tvrn::FinderTexts
