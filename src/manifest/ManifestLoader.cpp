#include "manifest/ManifestLoader.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "base/PercentEncoding.h"
#include "core/ConfigManager.h"
#include "core/JSONValue.h"
#include "core/Logger.h"
#include "manifest/EngineVersion.h"
#include "manifest/ManifestLoaderTexts.h"
#include "manifest/ManifestParser.h"
#include "manifest/ManifestStore.h"
#include "manifest/ManifestToolDispatcher.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

namespace Texts = ManifestLoaderTexts;

constexpr auto kMetaTimeout = std::chrono::seconds(10);
constexpr auto kDownloadTimeout = std::chrono::seconds(30);
constexpr std::string_view kCurrentFile = "manifest.xml";
constexpr std::string_view kPreviousFile = "manifest.previous.xml";
constexpr std::string_view kVersionFile = "manifest.version";

std::string trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(kBlank) - first + 1));
}

// The body of a GET, whatever its status; nothing when the transfer failed or was too long.
std::optional<std::string> getBody(const std::string& url, std::chrono::milliseconds timeout,
                                   HttpHeaders headers = {}) {
  HttpRequest request{"GET", url, std::move(headers), "", timeout};
  request.maxBodyBytes = ManifestLoader::kMaxDownloadBytes;
  auto reply = HttpClient::perform(request);
  if (!reply.ok()) return std::nullopt;
  return std::move(reply.value().body);
}

// The announced version: a string, or an integer in decimal.
std::optional<std::string> versionText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return value.dump();
  return std::nullopt;
}

}  // namespace

ManifestLoader::ManifestLoader(ManifestStore& store, ManifestToolDispatcher& dispatcher,
                               const ConfigManager& settings)
    : store_(store), dispatcher_(dispatcher), settings_(settings) {}

std::filesystem::path ManifestLoader::binDir() { return Paths::localShare() / "bin"; }

std::string ManifestLoader::currentVersion() const {
  const auto text = FileStore::read(binDir() / kVersionFile);
  return text ? trimmed(*text) : "0";
}

void ManifestLoader::setPublicKey(std::string publicKeyHex) {
  std::lock_guard lock(mutex_);
  publicKeyHex_ = std::move(publicKeyHex);
}

ManifestSignatureVerifier ManifestLoader::verifier() const {
  std::lock_guard lock(mutex_);
  return publicKeyHex_ ? ManifestSignatureVerifier(*publicKeyHex_) : ManifestSignatureVerifier();
}

std::optional<ManifestLoader::Meta> ManifestLoader::fetchMeta(const std::string& machineId,
                                                              const std::string& currentVersion) {
  const std::string url = Endpoints::backend() + "/runtime/manifest?engine=" +
                          PercentEncoding::queryValue(kEngineVersion) +
                          "&machine_id=" + PercentEncoding::queryValue(machineId) +
                          "&manifest_version=" + PercentEncoding::queryValue(currentVersion);
  const auto body = getBody(url, kMetaTimeout, {{"X-Machine-Id", machineId}});
  if (!body) return std::nullopt;
  const auto answer = JSONValue::parseUntyped(*body);
  if (!answer || !answer->is_object()) return std::nullopt;
  if (const auto upToDate = answer->find("up_to_date");
      upToDate != answer->end() && upToDate->is_boolean() && upToDate->get<bool>()) {
    return Meta{currentVersion, "", "", true};
  }
  const auto version = versionText(answer->value("version", nlohmann::json()));
  const auto address = answer->find("url");
  const auto signature = answer->find("signature");
  if (!version || address == answer->end() || !address->is_string() || signature == answer->end() ||
      !signature->is_string()) {
    return std::nullopt;
  }
  return Meta{*version, address->get<std::string>(), signature->get<std::string>(), false};
}

std::optional<std::string> ManifestLoader::downloadXML(const std::string& url) {
  return getBody(url, kDownloadTimeout);
}

bool ManifestLoader::rotateToDisk(const std::string& xml, const std::string& version) {
  const auto dir = binDir();
  const auto current = dir / kCurrentFile;
  const auto refuse = [&version](std::string_view reason) {
    Logger::warn(Texts::kCategory, Texts::storeFailed(version, reason));
    return false;
  };
  FileStore::ReadError unread;
  const std::optional<std::string> earlier = FileStore::read(current, &unread);
  // A manifest that is there but unreadable could not be put back after a failed write.
  if (!earlier && !unread.missing) return refuse(unread.reason);

  std::string reason;
  if (!FileStore::writeAtomic(current, xml, 0600, &reason)) return refuse(reason);
  if (!FileStore::writeAtomic(dir / kVersionFile, version, 0600, &reason)) {
    std::string undo;
    std::error_code removal;
    const bool putBack = earlier ? FileStore::writeAtomic(current, *earlier, 0600, &undo)
                                 : std::filesystem::remove(current, removal);
    if (!putBack) Logger::warn(Texts::kCategory, Texts::putBackFailed(undo + removal.message()));
    return refuse(reason);
  }
  if (earlier && !FileStore::writeAtomic(dir / kPreviousFile, *earlier, 0600, &reason)) {
    Logger::warn(Texts::kCategory, Texts::previousNotKept(reason));
  }
  return true;
}

// The store and the dispatcher each take their own lock, one after the other.
void ManifestLoader::publish(const Manifest& manifest) {
  store_.setManifest(manifest);
  dispatcher_.apply(manifest);
}

void ManifestLoader::checkForUpdate() {
  {
    std::lock_guard lock(mutex_);
    if (checking_ || loading_) {
      Logger::info(Texts::kCategory, Texts::kCheckSkipped);
      return;
    }
    checking_ = true;
  }
  runCheck();
  {
    std::lock_guard lock(mutex_);
    checking_ = false;
  }
  idle_.notify_all();
}

void ManifestLoader::runCheck() {
  const std::string machineId = settings_.getMachineId();
  const std::string stored = currentVersion();
  const auto meta = fetchMeta(machineId, stored);
  if (!meta) {
    Logger::warn(Texts::kCategory, Texts::kMetaFetchFailed);
    return;
  }
  if (meta->upToDate) {
    Logger::info(Texts::kCategory, Texts::upToDate(stored));
    return;
  }
  const auto xml = downloadXML(meta->url);
  if (!xml) {
    Logger::warn(Texts::kCategory, Texts::downloadFailed(meta->url));
    return;
  }
  if (!verifier().verify(*xml, meta->signature)) {
    Logger::warn(Texts::kCategory, Texts::kSignatureInvalid);
    return;
  }
  const auto manifest = ManifestParser::parse(*xml);
  if (!manifest) {
    Logger::warn(Texts::kCategory, Texts::kParseFailed);
    return;
  }
  if (!manifest->tvrnVersion.empty() &&
      compareVersions(kEngineVersion, manifest->tvrnVersion) < 0) {
    Logger::warn(Texts::kCategory, Texts::engineTooOld(manifest->tvrnVersion, kEngineVersion));
    return;
  }
  // Unstored, the update stays unapplied too, and the next check offers it again.
  if (!rotateToDisk(*xml, meta->version)) return;
  publish(*manifest);
  Logger::info(Texts::kCategory, Texts::updated(meta->version, manifest->tools.size()));
}

void ManifestLoader::loadFromDisk() {
  {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !checking_ && !loading_; });
    loading_ = true;
  }
  const auto xml = FileStore::read(binDir() / kCurrentFile);
  if (!xml) {
    Logger::info(Texts::kCategory, Texts::kNoManifest);
  } else if (const auto manifest = ManifestParser::parse(*xml)) {
    publish(*manifest);
    Logger::info(Texts::kCategory, Texts::loaded(currentVersion(), manifest->tools.size()));
  } else {
    Logger::warn(Texts::kCategory, Texts::kDiskParseFailed);
    rollbackFromDisk();
  }
  {
    std::lock_guard lock(mutex_);
    loading_ = false;
  }
  idle_.notify_all();
}

void ManifestLoader::rollbackFromDisk() {
  const auto xml = FileStore::read(binDir() / kPreviousFile);
  const auto manifest = xml ? ManifestParser::parse(*xml) : std::nullopt;
  if (!manifest) {
    Logger::warn(Texts::kCategory, Texts::kRollbackFailed);
    return;
  }
  publish(*manifest);
  Logger::info(Texts::kCategory, Texts::rolledBack(manifest->tools.size()));
}

}  // namespace tvrn
