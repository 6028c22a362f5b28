// Behaviours that read other applications' files in fixed folders of the user's home: one
// read-only query on an SQLite database, or a property list or one value inside it. A path is
// allowed by where it really leads, ".." and symbolic links followed.
#pragma once

#include "manifest/CapabilityRunner.h"

namespace tvrn {

// ~/Library and ~/Documents. The query's values are escaped for SQL string literals and its
// named parameters bound from the tool's parameters; only statements that write nothing run.
class ManifestSQLiteRunner final : public CapabilityRunner {
 public:
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;
};

// ~/Library/Preferences and ~/Library/Application Support; XML and binary lists.
class ManifestPlistRunner final : public CapabilityRunner {
 public:
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;
};

}  // namespace tvrn
