#include "config/runtime_advice.h"

#include "config/config_values.h"

namespace hux {

namespace {

// "Java 17 or later", "Java 11 to 17", "Java 8 or earlier", or "a Java runtime".
ByteString neededJava(const ByteString& minimum, const ByteString& maximum) {
    ByteString out;
    if (minimum.empty() && maximum.empty()) {
        out.append("a Java runtime");
        return out;
    }
    out.append("Java ");
    if (!minimum.empty() && !maximum.empty()) {
        out.append(minimum.view());
        out.append(" to ");
        out.append(maximum.view());
    } else if (!minimum.empty()) {
        out.append(minimum.view());
        out.append(" or later");
    } else {
        out.append(maximum.view());
        out.append(" or earlier");
    }
    return out;
}

}  // namespace

ByteString runtimeAdvice(const LaunchConfig& config, int message, const ByteString& homeProblem) {
    if (message != 1 && message != 6 && message != 12) return ByteString();
    const ByteString need = neededJava(config::minJre(config), config::maxJre(config));
    ByteString out("hux: this application needs ");
    out.append(need.view());
    if (!homeProblem.empty()) {
        // Telling the user to set a variable that is set would mislead.
        out.append(", and ");
        out.append(homeProblem.view());
        out.append(message == 1 ? ": point it at a runtime's folder, or install one"
                                : ": point it at a runtime of that version, or install one");
    } else {
        out.append(message == 1 ? ": install it, or set JAVA_HOME to its folder"
                                : ": install it, or set JAVA_HOME to a runtime of that version");
    }
    out.append(" (HUX_DEBUG=1 shows where hux looked)");
    return out;
}

}  // namespace hux
