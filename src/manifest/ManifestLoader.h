// Keeps the process's tool manifest current: at start-up the one stored on disk, afterwards the
// newest one the back end offers, accepted only when its signature, its XML and its lowest engine
// pass, stored with one previous copy, published in the store and applied to the tools.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "core/ConfigManager.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestSignatureVerifier.h"
#include "manifest/ManifestStore.h"
#include "manifest/ManifestToolDispatcher.h"

namespace tvrn {

class ManifestLoader final {
 public:
  // Answers of the back end longer than this are taken for failed transfers.
  static constexpr std::size_t kMaxDownloadBytes = 4 * 1024 * 1024;

  // Publishes in `store` and applies to `dispatcher`'s registry; asks the back end as the machine
  // `settings` name. All three must outlive the loader.
  ManifestLoader(ManifestStore& store, ManifestToolDispatcher& dispatcher,
                 const ConfigManager& settings);
  ManifestLoader(const ManifestLoader&) = delete;
  ManifestLoader& operator=(const ManifestLoader&) = delete;

  // ~/.local/share/tavrin/bin, where the manifest files live.
  static std::filesystem::path binDir();

  // Applies the manifest stored on disk (its signature was checked when it was stored), or the
  // previous one when it does not parse. Waits for an update check that is under way.
  void loadFromDisk();

  // Asks the back end for a newer manifest and takes it when it passes every check; a failure
  // is logged and changes nothing. Skipped when a load or another check is under way.
  void checkForUpdate();

  // The version text of the stored manifest; "0" when there is none.
  std::string currentVersion() const;

  // Replaces the publisher's key (tests sign with their own).
  void setPublicKey(std::string publicKeyHex);

 private:
  struct Meta {
    std::string version;
    std::string url;
    std::string signature;
    bool upToDate = false;
  };

  static std::optional<Meta> fetchMeta(const std::string& machineId,
                                       const std::string& currentVersion);
  static std::optional<std::string> downloadXML(const std::string& url);
  // Stores the manifest and its version as a pair, the manifest before it as the previous one.
  // False, with the reason logged, when they cannot both be written: the files on disk are then
  // the earlier pair, so the manifest and its version never disagree.
  [[nodiscard]] static bool rotateToDisk(const std::string& xml, const std::string& version);
  void publish(const Manifest& manifest);
  void rollbackFromDisk();
  void runCheck();
  ManifestSignatureVerifier verifier() const;

  // One operation at a time. Only flags are held under the mutex, never a lock across a
  // network exchange or a file write.
  ManifestStore& store_;
  ManifestToolDispatcher& dispatcher_;
  const ConfigManager& settings_;

  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable idle_;
  bool checking_ = false;
  bool loading_ = false;
  std::optional<std::string> publicKeyHex_;  // none: the built-in key
};

}  // namespace tvrn
