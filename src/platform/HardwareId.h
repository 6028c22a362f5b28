// This machine's stable hardware identity: a UUID derived from the systemd machine id, so the
// system can name the machine to its back end without ever giving out the raw id.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tvrn::HardwareId {

inline const std::filesystem::path kMachineIdFile = "/etc/machine-id";

// An upper-case UUID keyed from the machine id in the file; the same file always gives the same
// UUID. Nothing when the file is missing or does not hold a 32-digit hexadecimal id.
std::optional<std::string> platformUUID(
    const std::filesystem::path& machineIdFile = kMachineIdFile);

// A fresh random UUID (version 4) in upper-case text form.
std::string randomUUID();

}  // namespace tvrn::HardwareId
