// The variables that force a mode on (TVRN_READ_ONLY, TVRN_PRIVACY_MODE), read the one way for
// all of them, so that a mode the user meant to turn on never stays off without a word.
#pragma once

namespace tvrn::EnvironmentSwitch {

// Whether the variable `name` turns its mode on: "1", "true", "yes" and "on" do, in any case;
// unset, empty, "0", "false", "no" and "off" do not. Any other value turns it on too, with one
// warning in the log naming the variable (once per value met). Looked up at each call.
bool isOn(const char* name);

}  // namespace tvrn::EnvironmentSwitch
