// Numbered user-visible failure texts, with configuration overrides.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "common/byte_string.h"
#include "config/keywords.h"
#include "config/launch_config.h"

namespace hux {

// The ANSI text of a message: the first `message` override of that number,
// else the executable's string-table text, else the compiled-in text; empty
// when none exists. The overrides are read from `config` on the first call
// and kept for the process.
ByteString messageText(const LaunchConfig& config, int number);

// The compiled-in text of a message (the same texts as the Windows string
// table); null for numbers without a text.
const char* builtinMessageText(int number);

// Replaces \n, \r and \t by their control characters and "\x" by x for any
// other x; a backslash at the very end is dropped.
ByteString unescapeMessage(std::string_view text);

// Formats `format` into `out`: each "%s" takes the next argument in order (an
// empty string once they run out), "%%" gives '%', and every other '%' is
// copied as it stands. Nothing else is interpreted, so a text can never read
// arguments that were not passed; the result grows as needed.
void formatText(ByteString& out, std::string_view format, const std::string_view* args, size_t count);
inline void formatText(ByteString& out, std::string_view format, std::initializer_list<std::string_view> args) {
    formatText(out, format, args.begin(), args.size());
}

// Message 6 or 12 formatted with the running version, the minimum and the
// maximum (followed by two empty arguments).
ByteString versionMessage(const LaunchConfig& config, int number, std::string_view running, std::string_view minimum,
                          std::string_view maximum);

// Writes `text` followed by a line feed to standard error. Without one, a
// GUI-subsystem executable shows it in a message box; a console one drops it
// (nobody watches a detached job, and a box would hold it).
// A box is shown only with `guierrors box` (setGuiErrorMode) and only where
// the process's window station is visible: a scheduled task or a service has
// nobody to press OK.
void printMessageLine(const ByteString& text);

// How printMessageLine tells a GUI executable's failures from now on.
void setGuiErrorMode(GuiErrorMode mode);

// Forgets the override table, so the next messageText call reads it again
// (tests only).
void resetMessageOverridesForTesting();

}  // namespace hux
