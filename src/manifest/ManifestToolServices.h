// Which service a manifest's tool belongs to, so the disabled-services setting reaches the tools
// the server sends as it reaches the built-in ones: mail, notes and the like exist only as
// manifest tools, and a tool's name is all the manifest says of its service.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::ManifestToolServices {

// The service word for a tool of this name, or empty when it belongs to none.
std::string serviceFor(std::string_view tool);

}  // namespace tvrn::ManifestToolServices
