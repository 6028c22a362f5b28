#include "cloud/UpdateManager.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>

#include "Version.h"
#include "base/Base64.h"
#include "base/Digest.h"
#include "base/Dispatch.h"
#include "base/Ed25519Verifier.h"
#include "cloud/UpdateArchive.h"
#include "cloud/UpdateAttemptLog.h"
#include "cloud/UpdateTexts.h"
#include "core/Logger.h"
#include "core/Timeouts.h"
#include "core/Versions.h"
#include "platform/Endpoints.h"
#include "platform/ExecutablePath.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCategory = "update";
// The publisher's key; TVRN_UPDATE_PUBLIC_KEY (Base64 of the raw 32 bytes) replaces it.
constexpr std::string_view kBuiltInPublicKey = "G9oXOe6sfS+kaHi2AEgrGBalO9oitYpbFoovV6FwaCw=";
const fs::path kServerVersionFile = fs::path("bin") / ".server-version";

std::chrono::milliseconds millisecondsOf(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Records each step of one attempt with the time it took.
class Steps {
 public:
  Steps(std::string from, std::optional<std::string> to)
      : from_(std::move(from)), to_(std::move(to)) {}

  void record(UpdatePhase phase, bool success, std::optional<std::string> error = std::nullopt,
              std::optional<std::string> note = std::nullopt) {
    const auto now = std::chrono::steady_clock::now();
    UpdateAttempt attempt{
        std::chrono::system_clock::now(),
        from_,
        to_,
        phase,
        success,
        std::move(error),
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since_).count(),
        std::move(note)};
    since_ = now;
    UpdateAttemptLog::shared().record(attempt);
  }

  // Records the failed step and hands its error on.
  Failure<std::string> failed(UpdatePhase phase, std::string error) {
    record(phase, false, error);
    return fail(std::move(error));
  }

 private:
  std::string from_;
  std::optional<std::string> to_;
  std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
};

std::optional<std::string> text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

Result<UpdateManager::LatestInfo, std::string> fetchLatestInfo() {
  const auto result = HttpClient::get(Endpoints::backend() + "/runtime/latest",
                                      millisecondsOf(Timeouts::networkDefault));
  if (!result) return fail(result.error().message);
  if (!result.value().isSuccess()) return fail("HTTP " + std::to_string(result.value().status));
  const auto reply = nlohmann::json::parse(result.value().body, nullptr, false);
  const auto version = reply.is_object() ? text(reply, "version") : std::nullopt;
  if (!version || Versions::components(*version).empty()) {
    return fail(std::string("no version in the reply"));
  }
  return UpdateManager::LatestInfo{*version, text(reply, "url").value_or(""),
                                   text(reply, "sha256").value_or(""),
                                   text(reply, "signature").value_or("")};
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string publicKey() {
  const char* given = std::getenv("TVRN_UPDATE_PUBLIC_KEY");
  const std::string_view key = given != nullptr && *given != '\0' ? given : kBuiltInPublicKey;
  return Base64::decode(key).value_or("");
}

// Both checks of the downloaded bytes: the digest the back end named and the publisher's
// signature; the reason when either fails.
std::optional<std::string> checkArchive(const std::string& archive,
                                        const UpdateManager::LatestInfo& latest) {
  if (Digest::sha256Hex(archive) != lowered(latest.sha256)) return "SHA-256 mismatch";
  const auto signature = Base64::decode(latest.signature);
  if (!signature) return "the signature is not Base64";
  switch (Ed25519Verifier::verify(archive, *signature, publicKey())) {
    case Ed25519Verifier::Outcome::valid:
      return std::nullopt;
    case Ed25519Verifier::Outcome::invalidKey:
      return "the update key is not an Ed25519 public key";
    case Ed25519Verifier::Outcome::invalidSignature:
      break;
  }
  return "the signature does not match";
}

void removeAll(const fs::path& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

// Left in a staging folder whose replaced files could not all be put back: it then holds the
// only copy of them, and no later attempt may clear it.
constexpr const char* kNotPutBackMarker = ".not-put-back";

void keepStaging(const fs::path& staging, const std::string& why) {
  if (!FileStore::writeAtomic(staging / kNotPutBackMarker, why + "\n", 0600)) {
    Logger::error(kCategory,
                  "Cannot mark " + staging.string() + " as kept: a later update may clear it");
  }
}

std::optional<std::string> keptByAnEarlierAttempt(const fs::path& staging) {
  std::error_code error;
  if (!fs::exists(staging / kNotPutBackMarker, error)) return std::nullopt;
  return "an earlier update could not put back the files in " +
         (staging / UpdateArchive::kReplacedFolder).string() +
         "; move them back into place or remove " + staging.string();
}

}  // namespace

UpdateManager& UpdateManager::shared() {
  // Never destroyed: a queued check may still run while the process exits.
  static UpdateManager& manager = *new UpdateManager();
  return manager;
}

std::string UpdateManager::checkNow() {
  std::lock_guard hold(checkMutex_);
  return runCheck(true);
}

std::string UpdateManager::checkOnly() {
  std::lock_guard hold(checkMutex_);
  const std::string running = kAppVersion;
  Steps fetchStep(running, std::nullopt);
  const auto latest = fetchLatestInfo();
  if (!latest) {
    fetchStep.record(UpdatePhase::fetchLatest, false, latest.error());
    return std::string(UpdateTexts::unreachable);
  }
  const std::string& version = latest.value().version;
  fetchStep.record(UpdatePhase::fetchLatest, true, std::nullopt, "latest v" + version);
  if (!Versions::isNewer(version, running)) return UpdateTexts::upToDate(running);
  return UpdateTexts::installable(version, running);
}

void UpdateManager::checkInBackground(bool install) {
  if (ExecutablePath::file().string().find("/.build/") != std::string::npos) return;
  Dispatch::async([this, install] {
    std::unique_lock hold(checkMutex_, std::try_to_lock);
    if (!hold.owns_lock()) return Logger::info(kCategory, UpdateTexts::checkSkipped);
    runCheck(install);
  });
}

std::string UpdateManager::runCheck(bool install) {
  std::string report;
  const auto say = [&report](const std::string& line) {
    Logger::info(kCategory, line);
    if (!report.empty()) report += '\n';
    report += line;
  };
  const std::string running = kAppVersion;
  Steps fetchStep(running, std::nullopt);
  const auto latest = fetchLatestInfo();
  if (!latest) {
    fetchStep.record(UpdatePhase::fetchLatest, false, latest.error());
    say(std::string(UpdateTexts::unreachable));
    return report;
  }
  const std::string& version = latest.value().version;
  fetchStep.record(UpdatePhase::fetchLatest, true, std::nullopt, "latest v" + version);
  if (!Versions::isNewer(version, running)) {
    say(UpdateTexts::upToDate(running));
    return report;
  }
  if (const auto disk = Versions::readVersionFile(kServerVersionFile.string());
      disk && !Versions::isNewer(version, *disk)) {
    say(UpdateTexts::alreadyOnDisk(*disk, running));
    return report;
  }
  if (!install) {
    say(UpdateTexts::available(version, running));
    return report;
  }
  say(UpdateTexts::downloading(version));
  bool trayIncluded = false;
  if (const auto installed = installServer(latest.value(), trayIncluded); !installed) {
    say(UpdateTexts::serverFailed(installed.error()));
    return report;
  }
  say(UpdateTexts::serverUpdated(version));
  Steps steps(running, version);
  if (trayIncluded) {
    if (const auto failed = updateTrayIfNeeded(version)) {
      steps.record(UpdatePhase::tray, false, *failed);
      say(UpdateTexts::trayFailed(*failed));
    } else {
      steps.record(UpdatePhase::tray, true);
      say(UpdateTexts::trayUpdated(version));
    }
  }
  steps.record(UpdatePhase::complete, true);
  return report;
}

Result<void, std::string> UpdateManager::installServer(const LatestInfo& latest,
                                                       bool& trayIncluded) {
  Steps steps(kAppVersion, latest.version);
  HttpRequest request;
  request.url = latest.url;
  request.timeout = millisecondsOf(Timeouts::downloadLong);
  request.maxBodyBytes = kMaxDownloadBytes;  // a bigger answer is cut off, never held whole
  const auto download = HttpClient::perform(request);
  if (!download) return steps.failed(UpdatePhase::download, download.error().message);
  const std::string& archive = download.value().body;
  if (!download.value().isSuccess()) {
    return steps.failed(UpdatePhase::download,
                        "download failed: HTTP " + std::to_string(download.value().status));
  }
  steps.record(UpdatePhase::download, true, std::nullopt,
               std::to_string(archive.size()) + " bytes");

  if (const auto failed = checkArchive(archive, latest)) {
    return steps.failed(UpdatePhase::sign, *failed);
  }
  steps.record(UpdatePhase::sign, true);

  const fs::path root = Paths::localShare();
  const fs::path staging = root / ".update-staging";
  if (auto kept = keptByAnEarlierAttempt(staging)) {
    return steps.failed(UpdatePhase::extract, *kept);
  }
  removeAll(staging);  // what a crashed attempt left
  auto unpacked = UpdateArchive::unpack(archive, staging);
  if (!unpacked || !FileStore::writeAtomic(staging / kServerVersionFile, latest.version, 0644)) {
    removeAll(staging);
    return steps.failed(UpdatePhase::extract, unpacked
                                                  ? "cannot stage " + kServerVersionFile.string()
                                                  : unpacked.error());
  }
  steps.record(UpdatePhase::extract, true);

  auto files = unpacked.value().files;
  if (std::find(files.begin(), files.end(), kServerVersionFile) == files.end()) {
    files.push_back(kServerVersionFile);
  }
  const auto installed = UpdateArchive::install(staging, files, root, kServerVersionFile);
  if (!installed) {
    const UpdateArchive::InstallFailure& failure = installed.error();
    if (failure.notPutBack) {
      keepStaging(staging, failure.reason);
    } else {
      removeAll(staging);
    }
    return steps.failed(UpdatePhase::install, failure.reason);
  }
  removeAll(staging);
  steps.record(UpdatePhase::install, true);
  trayIncluded = unpacked.value().hasTray;
  return {};
}

std::optional<std::string> UpdateManager::updateTrayIfNeeded(const std::string& version) {
  const fs::path tray = Paths::localShare() / "tray";
  std::string error;
  if (!FileStore::writeAtomic(tray / ".tray-version", version, 0644, &error) ||
      !FileStore::writeAtomic(tray / ".tray-just-updated", version, 0644, &error)) {
    return error;
  }
  return std::nullopt;
}

std::optional<std::string> UpdateManager::takeJustUpdatedVersion() {
  const fs::path share = Paths::localShare();
  for (const fs::path& marker :
       {share / "tray" / ".tray-just-updated", share / ".tray-just-updated"}) {
    auto version = FileStore::read(marker);
    if (!version || version->empty()) continue;
    std::error_code ignored;
    fs::remove(marker, ignored);
    return version;
  }
  return std::nullopt;
}

}  // namespace tvrn
