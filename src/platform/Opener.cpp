#include "platform/Opener.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "base/Dispatch.h"
#include "platform/Subprocess.h"

namespace tvrn::Opener {
namespace {

SpawnOptions openerFor(std::string_view target) {
  const char* command = std::getenv("TVRN_OPEN_COMMAND");
  const bool overridden = command != nullptr && *command != '\0';
  SpawnOptions options({overridden ? std::string(command) : "xdg-open", std::string(target)});
  options.searchPath = true;
  return options;
}

bool start(SpawnOptions options) {
  options.outlivesThisProgram = true;  // what the user opened stays when the tray quits
  auto started = Subprocess::start(options);
  if (!started) return false;
  std::shared_ptr<Subprocess> child = std::move(started).value();
  child->closeInput();
  // Reading to the end keeps a chatty opener from filling its pipes; then it is reaped.
  Dispatch::async([child] {
    while (child->readLine(SubprocessClock::time_point::max()).status == LineStatus::line) {
    }
    child->waitForExit(SubprocessClock::time_point::max());
  });
  return true;
}

}  // namespace

bool open(std::string_view target) { return start(openerFor(target)); }

bool launch(std::vector<std::string> argv) {
  SpawnOptions options(std::move(argv));
  options.searchPath = true;
  return start(options);
}

}  // namespace tvrn::Opener
