// Configuration values: one accessor per key, and reference expansion.
#pragma once

#include "common/byte_string.h"
#include "launcher/launch_config.h"

namespace hux {

constexpr int kExpandAnsi = 0;
constexpr int kExpandUtf8 = 1;

// Replaces %NAME%, %{NAME}%, $NAME and ${NAME} references by the environment,
// the built-in names and registry values; "%%" and "$$" stand for one sigil.
ByteString expandReferences(const ByteString& input, int mode);

namespace config {
// Single-valued keys.
ByteString mainClass(const LaunchConfig& c);
ByteString appId(const LaunchConfig& c);
ByteString singleInstance(const LaunchConfig& c);
ByteString wildcard(const LaunchConfig& c);
ByteString forceCwd(const LaunchConfig& c);
ByteString stdoutTarget(const LaunchConfig& c);
ByteString stderrTarget(const LaunchConfig& c);
ByteString splash(const LaunchConfig& c);
ByteString jreOrder(const LaunchConfig& c);
ByteString jre(const LaunchConfig& c);
ByteString jvmDll(const LaunchConfig& c);
ByteString vm(const LaunchConfig& c);
ByteString minJre(const LaunchConfig& c);
ByteString maxJre(const LaunchConfig& c);
ByteString asSystemClassLoader(const LaunchConfig& c);
ByteString compatible(const LaunchConfig& c);
ByteString disableExternal(const LaunchConfig& c);
// Multi-valued keys.
void options(const LaunchConfig& c, StringList& out);
void properties(const LaunchConfig& c, StringList& out);
void exports(const LaunchConfig& c, StringList& out);
void argv(const LaunchConfig& c, StringList& out);
void messages(const LaunchConfig& c, StringList& out);
void libs(const LaunchConfig& c, StringList& out);
void javaLibs(const LaunchConfig& c, StringList& out);
// The first `option` value that begins with "-XstartOnFirstThread".
ByteString firstThreadOption(const LaunchConfig& c);
}  // namespace config

}  // namespace hux
