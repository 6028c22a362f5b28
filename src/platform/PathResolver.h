// Where a path really leads, for the guards that keep file tools inside allowed folders: links,
// "." and ".." resolved, so a detour through a link or /proc cannot carry a path out of a root.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::PathResolver {

// The path made absolute (against the working directory) with ".", ".." and repeated or trailing
// "/" removed by the text alone; no link is followed.
std::string standardize(std::string_view path);

// The real path of the nearest existing ancestor followed by the rest, standardised: links are
// followed as the system would follow them, a link whose target is missing included, so the
// answer is where an open or a create of the path would land.
std::string resolve(std::string_view path);

// True when `path` is `root` or lies below it: the next character after root is a "/" (root "/"
// holds every absolute path). Both are taken as written; resolve or standardise them first.
bool isWithin(std::string_view path, std::string_view root);

// The system's own settings folder and data folder, resolved: they hold the tokens and the socket,
// so no tool that takes a path from its caller reads, lists or writes inside them.
std::vector<std::string> ownFolders();

// The own folder (as resolved) that the path leads into, or is, once links and ".." are resolved;
// nothing when it leads elsewhere. Every tool that takes a path from its caller asks this first.
std::optional<std::string> ownFolderHolding(std::string_view path);

// Where the descriptor leads now, as the system keeps it (a removed file's path ends in
// " (deleted)"); nothing when the system will not say.
std::optional<std::string> openPath(int descriptor);

// The own folder that holds what the descriptor has open, judged by the open file itself rather
// than by any path to it: where the system says the descriptor leads, or, for a file with more
// than one name, whether one of its names lies in an own folder (a hard link made elsewhere).
// Nothing when it is none of ours; the first own folder when the system cannot say where the
// descriptor leads, so that doubt refuses. Readers and writers ask this of what they opened.
std::optional<std::string> ownFolderHoldingOpenFile(int descriptor);

}  // namespace tvrn::PathResolver
