#include "platform/Keychain.h"

#include <mutex>

#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"

namespace tvrn::Keychain {
namespace {

// Serialises every read and read-change-write of keychain.json within the process.
std::mutex& fileLock() {
  static std::mutex lock;
  return lock;
}

std::filesystem::path storePath() { return Paths::appSupport() / "keychain.json"; }

}  // namespace

std::optional<std::string> readGenericPassword(const std::string& service,
                                               const std::string& account) {
  std::lock_guard hold(fileLock());
  const nlohmann::json items = JsonObjectFile::read(storePath()).object;
  auto byService = items.find(service);
  if (byService == items.end() || !byService->is_object()) return std::nullopt;
  auto password = byService->find(account);
  if (password == byService->end() || !password->is_string()) return std::nullopt;
  return password->get<std::string>();
}

bool writeGenericPassword(const std::string& service, const std::string& account,
                          const std::string& password) {
  std::lock_guard hold(fileLock());
  return JsonObjectFile::writtenReportingRefusal(
      JsonObjectFile::update(storePath(), [&](nlohmann::json& items) {
        if (!items[service].is_object()) items[service] = nlohmann::json::object();
        items[service][account] = password;
      }));
}

}  // namespace tvrn::Keychain
