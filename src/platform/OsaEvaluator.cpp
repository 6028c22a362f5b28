#include "platform/OsaEvaluator.h"

namespace tvrn {

OsaEvaluator platformOsaEvaluator() {
  return [](const std::string&) { return OsaEvaluation{}; };
}

}  // namespace tvrn
