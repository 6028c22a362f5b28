// An AI client application the system can set up: where its MCP configuration lives, how its
// installation is recognised and the shape of its configuration file.
#pragma once

#include <string>
#include <vector>

namespace tvrn {

struct AIClientDef {
  std::string id;
  std::string name;                      // shown to the user
  std::string cfgPath;                   // absolute path of the client's MCP configuration file
  std::vector<std::string> detectPaths;  // the client counts as installed when any exists
  std::string cfgSchema;                 // the shape of the configuration file

  bool operator==(const AIClientDef&) const = default;
};

}  // namespace tvrn
