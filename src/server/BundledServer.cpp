#include "server/BundledServer.h"

#include "core/Logger.h"
#include "core/Versions.h"
#include "platform/FileStore.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"

namespace tvrn::BundledServer {
namespace {

constexpr const char* kVersionFile = "bin/.server-version";

}  // namespace

std::filesystem::path path() { return Paths::stdioServer(); }

bool install(const std::string& version, const std::filesystem::path& shippedFolder) {
  const auto target = path();
  const auto installed = Versions::readVersionFile(kVersionFile);
  std::error_code error;
  const bool present = std::filesystem::is_regular_file(target, error);
  if (present && installed && !Versions::isNewer(version, *installed)) return true;

  const auto shipped = FileStore::read(shippedFolder / kProgramName);
  if (!shipped) return false;
  const auto bin = target.parent_path();
  // Every AI client's entry runs what is put there.
  if (auto fit = OwnFolder::judgeProgramFolder(bin); !fit) {
    Logger::warn("tray", "The stdio server is not put in place: " + fit.error());
    return false;
  }
  return FileStore::writeAtomic(target, *shipped, 0755) &&
         FileStore::writeAtomic(bin / kTrayPathFile, ExecutablePath::file().string() + "\n") &&
         FileStore::writeAtomic(Paths::localShare() / kVersionFile, version + "\n");
}

}  // namespace tvrn::BundledServer
