// What the manifest loader and its signature check write to the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvrn::ManifestLoaderTexts {

inline constexpr std::string_view kCategory = "manifest";

// Signature check
inline constexpr std::string_view kHexDecodeFailed = "Signature verifier: hex decode failed";
inline constexpr std::string_view kInvalidKey = "Signature verifier: invalid public key";
inline constexpr std::string_view kVerificationFailed =
    "Signature verification FAILED \u2014 manifest rejected";

// Update check
inline constexpr std::string_view kMetaFetchFailed = "checkForUpdate: meta fetch failed";
inline constexpr std::string_view kSignatureInvalid =
    "Manifest signature invalid \u2014 ROLLBACK, keeping previous";
inline constexpr std::string_view kParseFailed =
    "Manifest XML parse failed \u2014 ROLLBACK, keeping previous";
inline constexpr std::string_view kCheckSkipped =
    "checkForUpdate: another manifest load or check is running \u2014 skipped";

inline std::string upToDate(std::string_view version) {
  return "Manifest up to date (v" + std::string(version) + ")";
}
inline std::string downloadFailed(std::string_view url) {
  return "checkForUpdate: XML download failed from " + std::string(url);
}
inline std::string engineTooOld(std::string_view required, std::string_view running) {
  return "Manifest requires engine " + std::string(required) + ", running " + std::string(running) +
         " \u2014 skipping";
}
inline std::string updated(std::string_view version, std::size_t tools) {
  return "Manifest updated to v" + std::string(version) + " (" + std::to_string(tools) + " tools)";
}

inline std::string storeFailed(std::string_view version, std::string_view reason) {
  return "Manifest v" + std::string(version) + " could not be stored (" + std::string(reason) +
         ") \u2014 keeping previous";
}
inline std::string putBackFailed(std::string_view reason) {
  return "The manifest before the failed update could not be put back: " + std::string(reason);
}
inline std::string previousNotKept(std::string_view reason) {
  return "The previous manifest could not be kept for a rollback: " + std::string(reason);
}

// Start-up load and rollback
inline constexpr std::string_view kNoManifest =
    "No manifest on disk \u2014 waiting for first checkForUpdate";
inline constexpr std::string_view kDiskParseFailed =
    "On-disk manifest parse failed \u2014 attempting rollback";
inline constexpr std::string_view kRollbackFailed =
    "Rollback failed \u2014 no valid previous manifest";

inline std::string loaded(std::string_view version, std::size_t tools) {
  return "Loaded manifest v" + std::string(version) + " from disk (" + std::to_string(tools) +
         " tools)";
}
inline std::string rolledBack(std::size_t tools) {
  return "Rolled back to previous manifest (" + std::to_string(tools) + " tools)";
}

}  // namespace tvrn::ManifestLoaderTexts
