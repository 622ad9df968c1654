#include "tool/runtime/option_check.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/utf.h"
#include "platform/run_program.h"
#include "tool/config_checks.h"
#include "tool/payload/file_names.h"

namespace hux::tool {

namespace fs = std::filesystem;

namespace {

struct Trial {
    int exitCode = 0;
    std::string firstLine;  // the JVM's first line of complaint
};

Trial tryOptions(const std::string& java, const std::vector<std::string>& options, const std::string& scratch) {
    std::vector<std::string> argv{java};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-version");
    Trial trial;
    const platform::Result<int> run = platform::runProgramCapturing(argv, scratch);
    trial.exitCode = run ? run.value() : -1;
    std::ifstream in(pathOf(scratch));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || startsWith(line, "Error: ")) continue;
        trial.firstLine = line;
        break;
    }
    in.close();
    std::error_code ec;
    fs::remove(pathOf(scratch), ec);
    if (!run) trial.firstLine = run.status().message();
    return trial;
}

}  // namespace

std::vector<std::string> runnableJavas(const std::vector<std::string>& homes, bool windowsHost) {
    std::vector<std::string> javas;
    std::vector<fs::path> seen;
    for (const std::string& home : homes) {
        if (home.empty()) continue;
        const fs::path java = pathOf(home) / "bin" / (windowsHost ? "java.exe" : "java");
        std::error_code ec;
        if (!fs::is_regular_file(java, ec)) continue;
        const fs::path real = fs::canonical(java, ec);
        bool known = false;
        for (const fs::path& earlier : seen) known = known || (!ec && earlier == real);
        if (known) continue;
        if (!ec) seen.push_back(real);
        javas.push_back(textOf(java));
    }
    return javas;
}

bool checkedOnJvm(const std::string& option) {
    if (!startsWith(option, "-X") || option.find('%') != std::string::npos) return false;
    // Options that make a trial run write or read files of their own, and
    // the launcher's own first-thread switch.
    for (const char* prefix :
         {"-Xlog", "-Xloggc", "-XX:ArchiveClassesAtExit", "-XX:SharedArchiveFile", "-XX:StartFlightRecording",
          "-XX:FlightRecorderOptions", "-XX:ErrorFile", "-XX:LogFile", "-XX:+LogVMOutput", "-XX:Flags",
          "-XX:VMOptionsFile", "-XX:+DumpSharedSpaces", "-XstartOnFirstThread", "-Xshare:dump"})
        if (startsWith(option, prefix)) return false;
    return true;
}

void checkOptionLines(const std::vector<std::string>& lines, const std::vector<std::string>& javas,
                      const std::string& scratch, std::vector<std::string>& warnings) {
    std::vector<std::string> options;
    for (const std::string& line : lines) {
        if (!equalsIgnoreCase(lineKey(line), "option")) continue;
        const std::string value = lineValue(line);
        if (startsWith(value, "@"))
            warnings.push_back("'" + value +
                               "': the JVM does not read argument files and ignores this option; write each option of "
                               "the file on an 'option' line");
        else if (checkedOnJvm(value))
            options.push_back(value);
    }
    if (options.empty()) return;
    // Per option: the runtimes whose JVM refuses it and the first one's words.
    std::vector<std::vector<std::string>> refusers(options.size());
    std::vector<std::string> why(options.size());
    for (const std::string& java : javas) {
        const Trial all = tryOptions(java, options, scratch);
        if (all.exitCode <= 0) continue;  // accepted, or not runnable here
        const std::string runtime = textOf(pathOf(java).parent_path().parent_path());
        bool named = false;
        // Each option alone, after the switches that unlock diagnostic and
        // experimental ones.
        std::vector<std::string> unlocks;
        for (const std::string& option : options)
            if (option == "-XX:+UnlockDiagnosticVMOptions" || option == "-XX:+UnlockExperimentalVMOptions")
                unlocks.push_back(option);
        for (size_t i = 0; i < options.size(); ++i) {
            std::vector<std::string> trial = unlocks;
            trial.push_back(options[i]);
            const Trial alone = tryOptions(java, trial, scratch);
            if (alone.exitCode <= 0) continue;
            named = true;
            refusers[i].push_back(runtime);
            if (why[i].empty()) why[i] = alone.firstLine;
        }
        if (!named)
            warnings.push_back("the 'option' lines together are refused by the JVM in '" + runtime + "' (" +
                               all.firstLine + ")");
    }
    for (size_t i = 0; i < options.size(); ++i) {
        if (refusers[i].empty()) continue;
        std::string where;
        for (size_t r = 0; r < refusers[i].size(); ++r)
            where += (r == 0 ? "'" : r + 1 == refusers[i].size() ? " and '" : ", '") + refusers[i][r] + "'";
        warnings.push_back("'" + options[i] + "' is refused by the JVM" + (refusers[i].size() > 1 ? "s" : "") + " in " +
                           where + " (" + why[i] +
                           "); the launcher's JVM ignores options it does not know, so the line does nothing there");
    }
}

}  // namespace hux::tool
