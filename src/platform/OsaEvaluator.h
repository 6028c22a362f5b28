// Evaluating a JavaScript text inside the process through the platform's scripting framework.
// Linux has none, so the platform's evaluator always reports itself unavailable; another one
// (a test's) can be handed to whoever evaluates.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tvrn {

// What one evaluation gave back.
struct OsaEvaluation {
  enum class Kind {
    result,       // `text` holds the value's text
    error,        // the script failed: `message` and the platform's error `number` (0 if none)
    nothing,      // neither a value nor error information
    unavailable,  // no JavaScript language to evaluate in
  };
  Kind kind = Kind::unavailable;
  std::string text;
  std::string message;
  std::int64_t number = 0;
};

// Takes the whole script text and blocks until it has been evaluated.
using OsaEvaluator = std::function<OsaEvaluation(const std::string& script)>;

// The platform's own evaluator.
OsaEvaluator platformOsaEvaluator();

}  // namespace tvrn
