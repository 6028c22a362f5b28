#include "platform/RunningApps.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/ProcessInfo.h"

namespace tvrn::RunningApps {
namespace {

struct Application {
  std::string_view bundleId;
  std::vector<std::string_view> names;
};

// Applications that exist only on the Mac (Messages, System Events, OmniFocus) have no
// counterpart here.
// Never destroyed: background workers may still ask while the process exits.
const std::array<Application, 12>& table() {
  static const auto& applications = *new std::array<Application, 12>{{
      {"com.apple.mail", {"thunderbird", "evolution", "geary"}},
      {"com.apple.Notes", {"gnome-notes", "bijiben"}},
      {"com.apple.Safari", {"epiphany", "epiphany-browser"}},
      {"com.apple.finder", {"nautilus", "nemo", "caja", "thunar", "dolphin", "pcmanfm"}},
      {"com.omnigroup.OmniFocus3", {}},
      {"com.omnigroup.OmniFocus4", {}},
      {"com.apple.MobileSMS", {}},
      {"com.apple.systemevents", {}},
      {"com.microsoft.Outlook", {"prospect-mail"}},
      {"com.nordvpn.NordVPN", {"nordvpnd"}},
      {"com.anthropic.claudefordesktop", {"claude-desktop"}},
      {"com.tavrin.tray", {"tavrin-tray"}},
  }};
  return applications;
}

bool contains(const std::vector<std::string_view>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The kernel keeps only the first 15 bytes of a command name, so a longer name can match only the
// program named by the command line. The command name is read only when that did not decide.
bool isOneOf(pid_t pid, const std::string& executable, const std::vector<std::string_view>& names) {
  if (contains(names, executable)) return true;
  const auto command = ProcessInfo::commandName(pid);
  return command && contains(names, *command);
}

}  // namespace

std::vector<std::string_view> processNames(std::string_view bundleId) {
  for (const auto& application : table()) {
    if (application.bundleId == bundleId) return application.names;
  }
  return {};
}

std::vector<pid_t> processIds(std::string_view bundleId) {
  const auto names = processNames(bundleId);
  std::vector<pid_t> found;
  if (names.empty()) return found;
  // Only the user's own processes are read beyond their owner: on a busy machine most are not.
  for (const pid_t pid : ProcessInfo::pidsOwnedBy(::getuid())) {
    // A zombie (or a kernel thread) has no command line: it is not a running application.
    const auto executable = ProcessInfo::executableName(pid);
    if (executable && isOneOf(pid, *executable, names)) found.push_back(pid);
  }
  return found;
}

bool isRunning(std::string_view bundleId) { return !processIds(bundleId).empty(); }

}  // namespace tvrn::RunningApps
