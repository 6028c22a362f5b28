// The ready-made prompts a session offers its client: short requests in the user's voice that
// start a typical task, some filled in with the client's search query.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/JSONValue.h"

namespace tvrn::MCPPrompts {

struct Prompt {
  std::string name;
  std::string title;
  std::string description;
  std::vector<std::string> args;  // argument names, each a required search query
};

// The fixed table, in the order it is listed.
const std::vector<Prompt>& all();

// The "prompts/list" result: {"prompts": [...]} in table order.
JSONValue listPayload();

// The text of the named prompt with the query filled in where the prompt takes one; nothing for
// a name not in the table (names compare exactly).
std::optional<std::string> text(std::string_view name, std::string_view query);

// The "prompts/get" result holding one user message with the text.
JSONValue getPayload(std::string_view text);

}  // namespace tvrn::MCPPrompts
