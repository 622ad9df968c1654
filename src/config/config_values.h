// Configuration values: one accessor per key, and reference expansion.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/byte_string.h"
#include "config/keywords.h"
#include "config/launch_config.h"

namespace hux {

// Nesting limit for expandable registry strings that refer to further
// registry values: deeper references are left as written.
constexpr int kMaxRegistryExpansionDepth = 8;
// Registry reads allowed while expanding one value (nested expansions
// included); further registry references are left as written.
constexpr int kMaxRegistryReadsPerExpansion = 256;

// Replaces %NAME%, %{NAME}%, $NAME and ${NAME} references by the environment,
// the built-in names and registry values; "%%" and "$$" stand for one sigil.
// ExpandMode::Utf8 converts substituted values that are not plain ASCII from
// the ANSI code page to UTF-8. `config` gives the built-in names; null leaves
// those that need it as written.
ByteString expandReferences(const ByteString& input, ExpandMode mode, const LaunchConfig* config);

// The built-in names APPLICATION_HOME, PWD, HUX_APP_PATH and HOME (ASCII case
// insensitive), the first three read from `config`. False when the name is
// not one of them (or it needs a configuration and `config` is null).
bool specialValue(std::string_view name, ByteString& value, const LaunchConfig* config);

// A registry reference: "HKCU\key\value", "HKLM\key\" (default value),
// optionally followed by "|default". False when the name is not defined.
bool registryValue(std::string_view name, ByteString& value);

// The text of registry data of the given type (REG_SZ up to its first NUL,
// REG_EXPAND_SZ expanded in ANSI mode, REG_DWORD and REG_DWORD_BIG_ENDIAN as
// signed decimal, anything else empty).
ByteString registryDataText(uint32_t type, const uint8_t* data, int32_t size);

// Forgets the composed HOME value (tests only).
void resetSpecialValuesForTesting();

// Keyword values, compared ASCII case-insensitively as whole words.
SingleInstanceMode parseSingleInstanceMode(std::string_view value);
WildcardMode parseWildcardMode(std::string_view value);
GuiErrorMode parseGuiErrorMode(std::string_view value);

namespace config {
// Single-valued keys.
ByteString mainClass(const LaunchConfig& c);
ByteString appId(const LaunchConfig& c);
// Keyword keys, read unexpanded and parsed (see keywords.h).
SingleInstanceMode singleInstance(const LaunchConfig& c);
WildcardMode wildcard(const LaunchConfig& c);
GuiErrorMode guiErrors(const LaunchConfig& c);
ByteString forceCwd(const LaunchConfig& c);
ByteString stdoutTarget(const LaunchConfig& c);
ByteString stderrTarget(const LaunchConfig& c);
// Expanded, then resolved as a data path (executable's directory first, then
// the working directory).
ByteString splash(const LaunchConfig& c);
ByteString jreOrder(const LaunchConfig& c);
// Expanded; empty when unset (runtime discovery then uses "./jre/").
ByteString jre(const LaunchConfig& c);
ByteString jvmDll(const LaunchConfig& c);
ByteString vm(const LaunchConfig& c);
ByteString minJre(const LaunchConfig& c);
ByteString maxJre(const LaunchConfig& c);
// Whether the class loader is installed as the system class loader: only
// "FALSE" (any case) says no.
bool asSystemClassLoader(const LaunchConfig& c);
// `cds` "auto" (any case) turns on the class-data archive in the user's cache.
bool classDataSharing(const LaunchConfig& c);
// Embedded only: exactly "true" (case-sensitive) lets class files be served
// as resources.
bool compatible(const LaunchConfig& c);
// Embedded only: "true" (any case) drops the external file.
bool disableExternal(const LaunchConfig& c);
// Multi-valued keys, each value expanded.
void options(const LaunchConfig& c, StringList& out);
void properties(const LaunchConfig& c, StringList& out);  // UTF-8, UTF-8 mode
void exports(const LaunchConfig& c, StringList& out);
void argv(const LaunchConfig& c, StringList& out);
void messages(const LaunchConfig& c, StringList& out);
void libs(const LaunchConfig& c, StringList& out);
void javaLibs(const LaunchConfig& c, StringList& out);
// The class-path keys are expanded per ';'-separated piece by the class-path
// builder, so these hand out the values as written (ANSI, all sources).
void classPathRaw(const LaunchConfig& c, StringList& out);
void javaClassPathRaw(const LaunchConfig& c, StringList& out);
// The first `option` value that begins with "-XstartOnFirstThread".
ByteString firstThreadOption(const LaunchConfig& c);
// The expanded `vm` value, computed on first use and remembered in the
// configuration; "-" when the value is empty.
ByteString vmPreference(const LaunchConfig& c);
}  // namespace config

}  // namespace hux
