#include "launcher/config_values.h"

namespace hux {

ByteString expandReferences(const ByteString& input, int /*mode*/) { return input; }

namespace config {

ByteString mainClass(const LaunchConfig& c) { return c.firstValue("mainclass", true, true); }
ByteString appId(const LaunchConfig& c) { return c.firstValue("appid", false, true); }
ByteString singleInstance(const LaunchConfig& c) { return c.firstValue("singleinstance", false, true); }
ByteString wildcard(const LaunchConfig& c) { return c.firstValue("wildcard", false, true); }
ByteString forceCwd(const LaunchConfig& c) {
    return expandReferences(c.firstValue("forcecwd", false, true), kExpandAnsi);
}
ByteString stdoutTarget(const LaunchConfig& c) {
    return expandReferences(c.firstValue("stdout", false, true), kExpandAnsi);
}
ByteString stderrTarget(const LaunchConfig& c) {
    return expandReferences(c.firstValue("stderr", false, true), kExpandAnsi);
}
ByteString splash(const LaunchConfig& c) { return expandReferences(c.firstValue("splash", false, true), kExpandAnsi); }
ByteString jreOrder(const LaunchConfig& c) { return c.firstValue("jre_order", false, true); }
ByteString jre(const LaunchConfig& c) { return expandReferences(c.firstValue("jre", false, true), kExpandAnsi); }
ByteString jvmDll(const LaunchConfig& c) { return expandReferences(c.firstValue("jvmdll", false, true), kExpandAnsi); }
ByteString vm(const LaunchConfig& c) { return expandReferences(c.firstValue("vm", false, true), kExpandAnsi); }
ByteString minJre(const LaunchConfig& c) { return c.firstValue("minjre", false, true); }
ByteString maxJre(const LaunchConfig& c) { return c.firstValue("maxjre", false, true); }
ByteString asSystemClassLoader(const LaunchConfig& c) { return c.firstValue("assystemclassloader", false, true); }
ByteString compatible(const LaunchConfig& c) { return c.firstValue("compatible", true, true); }
ByteString disableExternal(const LaunchConfig& c) { return c.firstValue("disableexternal", true, true); }

void options(const LaunchConfig& c, StringList& out) { c.collectValues("option", out, false, true); }
void properties(const LaunchConfig& c, StringList& out) { c.collectValues("property", out, false, false); }
void exports(const LaunchConfig& c, StringList& out) { c.collectValues("export", out, false, true); }
void argv(const LaunchConfig& c, StringList& out) { c.collectValues("argv", out, false, true); }
void messages(const LaunchConfig& c, StringList& out) { c.collectValues("message", out, false, true); }
void libs(const LaunchConfig& c, StringList& out) { c.collectValues("libs", out, false, true); }
void javaLibs(const LaunchConfig& c, StringList& out) { c.collectValues("java_libs", out, false, true); }

ByteString firstThreadOption(const LaunchConfig& c) {
    return c.findValues("option", false, true, "-XstartOnFirstThread");
}

}  // namespace config
}  // namespace hux
