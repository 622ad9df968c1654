// The meanings of the configuration's keyword values. The accessors in
// config_values.h parse each value into one of these, so that no other code
// compares keyword text.
#pragma once

namespace hux {

// `singleinstance`: "true" (one instance, held by a named mutex), "custom"
// (the application decides through the instance channel), "forward" (a later
// launch hands its arguments to the running instance); anything else is off.
enum class SingleInstanceMode { Off, Mutex, Custom, Forward };

// `wildcard`: "true" or "auto" expand tokens whose wildcards stand outside
// double quotes; "all" expands every token holding a wildcard; anything else
// leaves the arguments alone.
enum class WildcardMode { None, Unquoted, All };

// How reference expansion inserts a substituted value: as the ANSI code page
// holds it, or converted from the ANSI code page to UTF-8 when it is not
// plain ASCII.
enum class ExpandMode { Ansi, Utf8 };

// `guierrors`: how a GUI-subsystem executable without standard error tells
// a failure: "box" (the default) in a message box when someone can see it,
// "stderr" never in a box (standard error, when it leads somewhere, e.g. a
// `stderr` file).
enum class GuiErrorMode { Box, StandardError };

}  // namespace hux
