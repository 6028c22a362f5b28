#include "fakes/support/NodeOsaEvaluator.h"

#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/Subprocess.h"

namespace tvrn::test {
namespace {

// Reads the script from standard input and evaluates it in the global scope.
constexpr const char* kProgram =
    "const s = require('fs').readFileSync(0, 'utf8');"
    "try { const r = (0, eval)(s);"
    "  if (typeof r === 'string' && r.length) process.stdout.write(r); }"
    "catch (e) { process.stderr.write(String(e && e.message || e)); process.exit(3); }";

constexpr std::chrono::seconds kLimit{10};

}  // namespace

std::optional<std::filesystem::path> nodeProgram() {
  for (const char* path : {"/usr/bin/node", "/usr/local/bin/node"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return std::nullopt;
}

OsaEvaluator nodeOsaEvaluator(std::filesystem::path node) {
  return [node](const std::string& script) {
    RunOptions options;
    options.input = script;
    options.timeout = kLimit;
    const CompletedProcess run = Subprocess::run({{node.string(), "-e", kProgram}}, options);
    OsaEvaluation evaluation;
    if (!run.launched || run.timedOut || run.exit.status != 0) {
      evaluation.kind = OsaEvaluation::Kind::error;
      evaluation.message = run.timedOut ? "timed out" : run.standardError + run.launchError;
    } else if (run.standardOutput.empty()) {
      evaluation.kind = OsaEvaluation::Kind::nothing;
    } else {
      evaluation.kind = OsaEvaluation::Kind::result;
      evaluation.text = run.standardOutput;
    }
    return evaluation;
  };
}

}  // namespace tvrn::test
