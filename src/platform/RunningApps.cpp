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

// The kernel keeps only the first 15 bytes of a command name, so a longer name is also compared
// with the program named by the command line.
bool matches(const ProcessInfo::Entry& process, std::string_view name) {
  constexpr std::size_t kCommandLimit = 15;
  if (process.executable == name) return true;
  return name.size() <= kCommandLimit && process.command == name;
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
  const uid_t me = ::getuid();
  for (const pid_t pid : ProcessInfo::allPids()) {
    const auto process = ProcessInfo::lookup(pid);
    // A zombie (or a kernel thread) has no command line: it is not a running application.
    if (!process || process->uid != me || process->arguments.empty()) continue;
    const bool wanted = std::any_of(names.begin(), names.end(),
                                    [&](std::string_view name) { return matches(*process, name); });
    if (wanted) found.push_back(pid);
  }
  return found;
}

bool isRunning(std::string_view bundleId) { return !processIds(bundleId).empty(); }

}  // namespace tvrn::RunningApps
