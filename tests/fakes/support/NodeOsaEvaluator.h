// An in-process JavaScript evaluator for tests, where the platform has none: node evaluates the
// script text and hands back its value when that is a non-empty string.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/OsaEvaluator.h"

namespace tvrn::test {

// Where node is installed; nothing when it is not (tests then skip).
std::optional<std::filesystem::path> nodeProgram();

// Script errors that escape the script come back as errors with their message and number 0.
OsaEvaluator nodeOsaEvaluator(std::filesystem::path node);

}  // namespace tvrn::test
