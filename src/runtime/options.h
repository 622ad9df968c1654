// The virtual machine's option list, its class paths and the environment it
// starts in.
#pragma once

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/jvm_host.h"

struct JNIEnv_;

namespace hux {

enum class ClassPathFlavour {
    Java,  // "java.class.path": the executable, `java_classpath`, `java_libs`
    Hux,   // "hux.class.path": `classpath`, `libs`, CLASSPATH, CLASS_PATH
};

// What option building takes from the launcher's other parts; the launcher
// hands it in, so that the runtime reads no archive and expands no argument
// itself.
struct OptionInputs {
    // Appends the paths a class path pattern ('*' or '?' in it) matches, in
    // listing order (the arguments' wildcard expansion). Null: a pattern
    // matches nothing.
    void (*matchPattern)(const char* pattern, StringList& out) = nullptr;
    // Whether the archive in the file at `path` holds archives only the
    // launcher's class loader serves; asked only when nothing else decides.
    // Null: it does (the loader is kept).
    bool (*holdsNestedArchives)(const char* path) = nullptr;
};

// Puts every `export` line holding "=" into the process environment and
// removes an inherited "JAVA_TOOL_OPTIONS" unless a line exported it.
void applyExportLines(const LaunchConfig& config);

// Builds one of the two class paths; elements are separated by the platform's
// class path separator.
ByteString buildClassPath(const LaunchConfig& config, ClassPathFlavour flavour, const OptionInputs& inputs);

// Appends separator + path of every ".jar" and ".zip" file below `directory`,
// depth first in listing order; beside the executable, only those its user
// may trust.
void scanArchiveDirectory(const LaunchConfig& config, const ByteString& directory, ByteString& text);

// Whether the launcher runs elevated; tests may force the answer.
bool isProcessElevated();
// -1: ask the system (default); 0 or 1: answer that.
void setElevationOverrideForTesting(int answer);

// An `option` line as the virtual machine takes it: "--add-opens a/b=C", as
// `java` accepts it, becomes "--add-opens=a/b=C" (likewise the other module
// options whose value `java` takes as the next argument, "-p" as
// "--module-path"); every other line stays as it is.
ByteString vmOptionForm(std::string_view line);

// An option in that form with the files it names for the virtual machine to
// load (a `-javaagent:` or `-agentpath:` file, the elements of
// `-Xbootclasspath/a:`, `--module-path=` and `--upgrade-module-path=`) left
// out where they lie beside the executable and another user could have put
// them there or could change them, with one warning each; empty when nothing
// of the option is left.
ByteString withTrustedFiles(const LaunchConfig& config, const ByteString& option);

// Appends the complete option list, in its fixed order, to the host.
void appendVmOptions(const LaunchConfig& config, JvmHost& host, const OptionInputs& inputs);

// The stack the start thread gets, as `java` sizes its main thread: the last
// "-Xss<size>" or "-XX:ThreadStackSize=<KiB>" option line; `fallback` when
// there is none or it does not read as a size above zero. Never below 64 KiB,
// so the launcher's own work before the virtual machine refuses a too small
// value cannot overflow.
size_t startThreadStackSize(const LaunchConfig& config, size_t fallback);

// The size in bytes an option gives ("-Xss16m", "-XX:ThreadStackSize=2048");
// 0 when it is neither form or its value is not a size.
uint64_t stackSizeOption(std::string_view option);

// The "-D" options (without the "-D") that the virtual machine reads with the
// locale's character set differently from what the launcher meant.
void collectMisreadProperties(const JvmHost& host, StringList& out);
// Sets those properties again, from the launcher's own text, in the running
// virtual machine.
void restoreMisreadProperties(const StringList& assignments, JNIEnv_* env);

// Sets "java.class.path" to the host's `classPathProperty` when it has one.
void applyClassPathProperty(JvmHost& host);

// Sets every `property` line as a system property of the running virtual machine.
void applyPropertyLines(const LaunchConfig& config, JNIEnv_* env);

}  // namespace hux
