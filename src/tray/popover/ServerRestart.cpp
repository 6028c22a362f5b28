#include "tray/popover/ServerRestart.h"

#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "platform/Subprocess.h"

namespace tvrn::ServerRestart {
namespace {

// pkill and launchctl answer at once; the limit only keeps a wedged one from holding the
// restart for ever.
constexpr std::chrono::seconds kStepDeadline{10};

void runStep(std::vector<std::string> argv) {
  SpawnOptions spawn(std::move(argv));
  spawn.searchPath = true;
  RunOptions options;
  options.timeout = kStepDeadline;
  Subprocess::run(spawn, options);
}

}  // namespace

void run(const Settings& settings) {
  runStep({settings.pkill, "-x", "-U", std::to_string(::getuid()), kServerProcessName});
  const std::string plist = (Paths::home() / kLaunchAgentPlist).string();
  runStep({settings.launchctl, "unload", plist});
  std::this_thread::sleep_for(settings.pause);
  runStep({settings.launchctl, "load", plist});
}

}  // namespace tvrn::ServerRestart
