// The WhatsApp row's "Connect": a small script that runs the WhatsApp client's QR sign-in, opened
// in a terminal window. The script is private to the user (0700, in the user's runtime folder)
// and the client's path is quoted for the shell, whatever characters it holds.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tvrn::WacliLauncher {

inline constexpr std::string_view kScriptName = "tvrn-whatsapp-connect.command";

// The text in single quotes, each ' in it written '\'' so the shell takes every byte literally.
std::string shellQuoted(std::string_view text);

// The script's four lines, the last without a line end.
std::string script(std::string_view wacliPath);

// The script shown instead when no client can be run: it says why and waits for the user to
// close the window, running nothing.
std::string refusalScript(std::string_view why);

// Where the script goes: $XDG_RUNTIME_DIR, else a 0700 folder of the user's own in the temporary
// folder; nothing when no such private folder can be had.
std::optional<std::filesystem::path> scriptFolder();

// The terminal program: x-terminal-emulator, else the first of gnome-terminal, konsole and xterm
// on PATH; nothing when none is.
std::optional<std::string> terminalProgram();

// Writes the script, for the client the server would run (CoProcessSupport::runnableWacli), or
// the refusal saying why none can be run, and opens it in a terminal; when it cannot be written,
// the terminal alone.
void openWacliInTerminal();

}  // namespace tvrn::WacliLauncher
