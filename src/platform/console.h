// Where the launcher's own messages go when it has no console: a launcher
// built for the GUI subsystem attaches to the console of the program that
// started it, and shows launch failures in a message box when there is none.
#pragma once

#include "common/byte_string.h"

namespace hux::platform {

// Whether the executable's own image names the GUI subsystem (read from the
// loaded image's header at run time: the packer sets it per executable).
// False where there is no such distinction.
bool guiSubsystem();

// For an executable started without standard output and error handles:
// points the missing standard handles and the C runtime's streams at its
// console, a GUI-subsystem one first attaching to its parent's console.
// Handles the process inherited (pipes, files) are kept. Nothing without a
// console, and nothing where processes always have standard streams.
void attachParentConsole();

// Whether standard error currently leads somewhere (a console, a pipe, a
// file). Always true where processes always have one.
bool standardErrorAvailable();

// Whether standard error is an interactive terminal (a console window), not a
// pipe or a file: where a progress line rewritten in place makes sense.
bool standardErrorIsTerminal();

// Writes `text` (ANSI, as the launcher's messages are) and a line feed to
// standard error, flushed: a console gets it as UTF-16 (WriteConsoleW), so
// it shows every character whatever the console's code page; a pipe or a
// file gets the bytes as they are.
void writeErrorLine(const ByteString& text);

// Shows `text` in a modal error message box titled `title` (UTF-8 both) and
// waits for the user; nothing where there are no message boxes.
void showErrorBox(const ByteString& title, const ByteString& text);

// Whether the process runs on a window station a user sees (not a service's
// or a scheduled task's without a desktop): false where there are no boxes.
bool interactiveDesktop();

// The ProductName of the executable's own version information, in UTF-8;
// empty when it has none.
ByteString ownProductName();

}  // namespace hux::platform
