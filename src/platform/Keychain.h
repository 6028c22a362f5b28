// The user's store of generic passwords (the machine id among them): one private file,
// <app-support>/keychain.json, holding each password under its service and account.
#pragma once

#include <optional>
#include <string>

namespace tvrn::Keychain {

// The password stored for the service and account, or nothing when there is none.
std::optional<std::string> readGenericPassword(const std::string& service,
                                               const std::string& account);

// Stores the password, replacing any earlier one for the same service and account. False when
// it could not be written.
[[nodiscard]] bool writeGenericPassword(const std::string& service, const std::string& account,
                                        const std::string& password);

}  // namespace tvrn::Keychain
