// Where the launcher's own messages go when it has no console: a launcher
// built for the GUI subsystem attaches to the console of the program that
// started it, and shows launch failures in a message box when there is none.
#pragma once

#include "common/byte_string.h"

namespace hux::platform {

// For a GUI-subsystem executable started without standard output and error
// handles: attaches to the parent process's console when it has one and
// points the missing standard handles and the C runtime's streams at it.
// Handles the process inherited (pipes, files) are kept. Nothing elsewhere.
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

// Shows `text` in a modal error message box titled `title` (UTF-8 both);
// nothing where there are no message boxes.
void showErrorBox(const ByteString& title, const ByteString& text);

// The ProductName of the executable's own version information, in UTF-8;
// empty when it has none.
ByteString ownProductName();

}  // namespace hux::platform
