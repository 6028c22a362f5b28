// ZIP packages (the Office formats): a member is read by name, whole in memory or block by block
// as it inflates; a new archive or one with a member replaced is written beside the target and
// renamed over it, so a failed write leaves the old file as it was. A target that is a link is
// written through. Only a regular file is opened, and an archive is read whole only up to
// RegularFile's cap.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "platform/RegularFile.h"

namespace tvrn::ZipArchive {

// A member larger than this once inflated is refused rather than read into memory.
inline constexpr std::size_t kMaxMemberBytes = std::size_t{256} * 1024 * 1024;

struct Member {
  std::string name;  // the path inside the archive, '/' separated
  std::string bytes;
};

// The member's uncompressed bytes. Fails (with the reason) when the file is not a ZIP archive,
// has no such member, or the member is over the cap.
Result<std::string, std::string> readMember(const std::filesystem::path& archive,
                                            std::string_view name);
// The same of an archive the caller holds open (after judging what was opened); so too below.
Result<std::string, std::string> readMember(const RegularFile& archive, std::string_view name);

// Whether the archive holds a member of that name. Fails (with the reason) when the file is not
// a regular file or not a ZIP archive.
Result<bool, std::string> hasMember(const std::filesystem::path& archive, std::string_view name);
Result<bool, std::string> hasMember(const RegularFile& archive, std::string_view name);

// Inflates the member block by block, handing each block to `sink` until the member ends or the
// sink answers false; only one block is held at a time. True when the member was read to its end.
// Fails (with the reason) when the file is not a ZIP archive, has no such member, its data is
// damaged before reading stops, or more than kMaxMemberBytes would be inflated.
Result<bool, std::string> readMemberInBlocks(const std::filesystem::path& archive,
                                             std::string_view name,
                                             const std::function<bool(std::string_view)>& sink);
Result<bool, std::string> readMemberInBlocks(const RegularFile& archive, std::string_view name,
                                             const std::function<bool(std::string_view)>& sink);

// Every member whose name `wanted` accepts, in the archive's order, read in one opening of the
// file. Fails (with the reason) when the file is not a ZIP archive or a wanted member cannot be
// read or is over the cap.
Result<std::vector<Member>, std::string> readMembers(
    const std::filesystem::path& archive, const std::function<bool(std::string_view)>& wanted);
Result<std::vector<Member>, std::string> readMembers(
    const RegularFile& archive, const std::function<bool(std::string_view)>& wanted);

// The bytes of an archive holding exactly these members, in this order, for a writer that puts
// them in place itself.
Result<std::string, std::string> archiveBytes(const std::vector<Member>& members);

// The bytes of the archive with one member replaced (or added) and every other member kept as it
// was, compressed data included.
Result<std::string, std::string> withMemberReplaced(std::string_view archive, const Member& member);

// Writes an archive holding exactly these members, in this order, replacing any file at the
// path. The error says why nothing was written.
Result<bool, std::string> create(const std::filesystem::path& archive,
                                 const std::vector<Member>& members);

// Replaces (or adds) one member and keeps every other member as it was, compressed data
// included. The file keeps its permissions.
Result<bool, std::string> replaceMember(const std::filesystem::path& archive, const Member& member);

}  // namespace tvrn::ZipArchive
