#include "runtime/java_start.h"

#include "common/utf.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/messages.h"
#include "config/runtime_advice.h"
#include "platform/text.h"
#include "runtime/class_data_cache.h"
#include "runtime/discovery.h"
#include "runtime/embedded_runtime.h"
#include "runtime/main_class.h"
#include "runtime/trained_cache.h"
#include "runtime/version_limits.h"
#include "runtime/vm_creation.h"

namespace hux {

namespace {

std::vector<std::u16string> widened(const std::vector<ByteString>& texts) {
    std::vector<std::u16string> out;
    for (const ByteString& text : texts)
        out.push_back(platform::ansiToUtf16(text.c_str(), static_cast<size_t>(text.length())));
    return out;
}

}  // namespace

ByteString commandOption(std::string_view mainClass, const std::vector<ByteString>& arguments) {
    ByteString option("-Dsun.java.command=");
    option.append(mainClass);
    for (const ByteString& argument : arguments) {
        option.push(' ');
        option.append(argument);
    }
    return option;
}

int32_t startJavaApplication(const LaunchConfig& config, JvmHost& host, const std::vector<ByteString>& arguments,
                             const OptionInputs& inputs, ReadyHook ready) {
    ByteString version, minimum, maximum;
    int32_t result = kLaunchOk;

    appendVmOptions(config, host, inputs);
    // As `java` does, unless an option line names the command itself.
    StringList optionLines;
    config::options(config, optionLines);
    bool commandGiven = false;
    for (int32_t i = 0; i < optionLines.count(); ++i)
        commandGiven = commandGiven || startsWith(optionLines.view(i), "-Dsun.java.command=");
    if (!commandGiven) host.addOption(commandOption(config::mainClass(config).view(), arguments).c_str());
    // Candidates outside the version limits or that do not load are passed
    // over by the search; it reports why when none is left.
    const RuntimeChoice& runtime = chooseRuntime(config);
    const ByteString library = runtime.library;
    if (library.empty()) result = unusableRuntimeResult(config, runtime, version, minimum, maximum);
    // A cache made at pack time for the carried runtime takes the place of
    // the class-data archive.
    if (result == kLaunchOk && !appendTrainedCacheOptions(config, host, library))
        appendClassDataOptions(config, host, library);
    if (result == kLaunchOk && sharingNoteNeedsWarningsOff(config, library, runtimeReleaseVersion(library))) {
        debugLog("a runtime before Java 21 with a class-data archive: its warnings are turned off");
        host.addOption("-XX:-PrintWarnings");
    }
    if (result == kLaunchOk) result = loadRuntimeAndCreateVm(host, library, config.exePath());
    if (result == kLaunchOk) {
        applyClassPathProperty(host);
        applyPropertyLines(config, host.jniEnv());
        result = checkRuntimeVersion(config, host, version, minimum, maximum);
    }
    if (result == kLaunchOk) {
        if (ready) ready(host);
        embeddedRuntimeStartEnded();
        result = invokeMainClass(config, host, config::mainClass(config), widened(arguments));
    }
    if (result == kMainThrew) return kExitAfterException;
    if (result == kLaunchOk) return result;
    ByteString text = result == kVersionTooLow || result == kVersionTooHigh
                          ? versionMessage(config, result, version.view(), minimum.view(), maximum.view())
                          : messageText(config, result);
    // A runtime that is missing or of the wrong version: one more line says
    // which Java the application needs and how to point the launcher at one.
    const ByteString advice = runtimeAdvice(config, result, runtime.homeProblem);
    if (!advice.empty()) {
        text.push('\n');
        text.append(advice.view());
    }
    printMessageLine(text);
    return result;
}

}  // namespace hux
