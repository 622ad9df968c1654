#include "tool/config_checks.h"

#include <algorithm>
#include <filesystem>

#include "common/utf.h"
#include "config/config_keys.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

bool isKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The first value of `key`, and whether any line has it.
bool findValue(const std::vector<std::string>& lines, const char* key, std::string& value) {
    for (const std::string& line : lines) {
        if (equalsIgnoreCase(lineKey(line), key)) {
            value = lineValue(line);
            return true;
        }
    }
    return false;
}

// What an `option` line holds that only `java` itself understands: the
// virtual machine, created with unrecognised options ignored, drops it
// without a word. Empty when the line is an option the machine takes.
std::string launcherOnlyOption(const std::string& option) {
    const std::string name = option.substr(0, option.find_first_of(" \t="));
    static const std::pair<const char*, const char*> kLauncherOnly[] = {
        {"-cp", "list the class path with 'classpath' or 'java_classpath' lines"},
        {"-classpath", "list the class path with 'classpath' or 'java_classpath' lines"},
        {"--class-path", "list the class path with 'classpath' or 'java_classpath' lines"},
        {"-jar", "name the main class with 'mainclass' and pack the jar"},
        {"-m", "name the main class with 'mainclass'"},
        {"--module", "name the main class with 'mainclass'"},
        {"--source", "compile the source first"},
        {"-version", "the launcher has no such switch"},
        {"-showversion", "the launcher has no such switch"},
        {"--show-version", "the launcher has no such switch"},
        {"--version", "the launcher has no such switch"},
        {"--dry-run", "the launcher has no such switch"},
        {"-client", "name the runtime library with 'jvmdll' or the VM with 'vm'"},
        {"-server", "name the runtime library with 'jvmdll' or the VM with 'vm'"},
    };
    for (const auto& [known, instead] : kLauncherOnly)
        if (name == known) return instead;
    if (option.rfind("-splash:", 0) == 0) return "show an image with a 'splash' line";
    if (option.rfind("-XshowSettings", 0) == 0 || option == "-Xdiag") return "the launcher has no such switch";
    return {};
}

// Whether the launcher takes the value of `key` whole, as one name, path,
// number or switch: a blank or tab around it becomes part of it.
bool singleValued(const std::string& key) {
    const ConfigKeyInfo* info = findConfigKey(key);
    return info && info->singleValued();
}

// Whether an `option` value holds more than one option: a later word that
// starts like an option ("-Xmx1g -Dx=y"). A value with blanks of its own
// ("-Dtitle=My App", "--add-opens a/b=C") has none.
bool severalOptions(const std::string& value) {
    size_t i = value.find_first_of(" \t");
    while (i != std::string::npos) {
        const size_t word = value.find_first_not_of(" \t", i);
        if (word == std::string::npos) return false;
        if (value[word] == '-' && word + 1 < value.size() &&
            (value[word + 1] == '-' || (value[word + 1] >= 'A' && value[word + 1] <= 'Z') ||
             (value[word + 1] >= 'a' && value[word + 1] <= 'z')))
            return true;
        i = value.find_first_of(" \t", word);
    }
    return false;
}

// The registry references without a default ("%{HKLM\\Key\\Value}%") in
// `line`: on Linux there is no registry and such a reference stays as text.
std::vector<std::string> registryReferencesWithoutDefault(const std::string& line) {
    static const char* const kRoots[] = {"HKCR\\", "HKCU\\", "HKLM\\", "HKU\\", "HKCC\\", "HKEY_"};
    std::vector<std::string> found;
    for (size_t at = line.find('{'); at != std::string::npos; at = line.find('{', at + 1)) {
        if (at == 0 || (line[at - 1] != '%' && line[at - 1] != '$')) continue;
        const size_t close = line.find('}', at);
        if (close == std::string::npos) break;
        const std::string name = line.substr(at + 1, close - at - 1);
        const bool registry = std::any_of(std::begin(kRoots), std::end(kRoots),
                                          [&](const char* root) { return name.rfind(root, 0) == 0; });
        if (registry && name.find('|') == std::string::npos) {
            const size_t end =
                line[at - 1] == '%' && close + 1 < line.size() && line[close + 1] == '%' ? close + 2 : close + 1;
            found.push_back(line.substr(at - 1, end - at + 1));
        }
        at = close;
    }
    return found;
}

bool sameFile(const fs::path& a, const fs::path& b, bool ignoreCase) {
    std::error_code ec;
    const std::string x = textOf(fs::weakly_canonical(a, ec));
    const std::string y = textOf(fs::weakly_canonical(b, ec));
    return ignoreCase ? equalsIgnoreCase(x, y) : x == y;
}

}  // namespace

// Where a line's key begins: the launcher skips leading spaces (not tabs).
size_t keyStart(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    return i;
}

std::string lineKey(const std::string& line) {
    const size_t start = keyStart(line);
    size_t n = start;
    while (n < line.size() && isKeyChar(line[n])) ++n;
    return line.substr(start, n - start);
}

std::string lineValue(const std::string& line) {
    size_t i = keyStart(line) + lineKey(line).size();
    while (i < line.size() && line[i] == ' ') ++i;
    if (i < line.size() && line[i] == '=') {
        ++i;
        while (i < line.size() && line[i] == ' ') ++i;
    }
    return line.substr(i);
}

bool checkConfiguration(std::vector<std::string>& lines, const ConfigPolicy& policy, std::vector<std::string>& warnings,
                        std::string& error) {
    for (const std::string& line : lines) {
        const std::string key = lineKey(line);
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && (line[first] == '#' || line[first] == ';')) continue;  // a note
        if (key.empty()) {
            warnings.push_back("the configuration line '" + line + "' has no key; the launcher ignores it");
        } else if (!findConfigKey(key)) {
            warnings.push_back("unknown configuration key '" + key + "'; the launcher ignores the line '" + line + "'");
        } else if (equalsIgnoreCase(key, "option") && !launcherOnlyOption(lineValue(line)).empty()) {
            warnings.push_back("'" + lineValue(line) +
                               "' is an option of the java command that the virtual machine ignores; " +
                               launcherOnlyOption(lineValue(line)));
        } else if (equalsIgnoreCase(key, "option") && severalOptions(lineValue(line))) {
            warnings.push_back("the line '" + line +
                               "' holds several options, which the virtual machine takes as one; write one "
                               "'option' line for each");
        } else if (singleValued(key) && !lineValue(line).empty() &&
                   (lineValue(line).back() == ' ' || lineValue(line).back() == '\t' || lineValue(line)[0] == '\t')) {
            warnings.push_back("the value of '" + key + "' in '" + line +
                               "' ends in a blank or holds a tab, which the launcher keeps as part of it; remove it");
        } else if ((equalsIgnoreCase(key, "libs") || equalsIgnoreCase(key, "java_libs")) &&
                   lineValue(line).find(';') != std::string::npos) {
            warnings.push_back("'" + key + "' takes one directory per line; '" + lineValue(line) +
                               "' names a single directory (write one '" + key + "' line per directory)");
        }
        if (!policy.windowsTarget)
            for (const std::string& reference : registryReferencesWithoutDefault(line))
                warnings.push_back("the registry reference " + reference + " in '" + line +
                                   "' has no default: on Linux, which has no registry, it stays as this text "
                                   "(give one after '|', as in %{HKLM\\Key\\Value|default}%)");
    }
    std::string mainClass;
    findValue(lines, "mainclass", mainClass);
    if (policy.requireMain && mainClass.find_first_not_of(" \t") == std::string::npos) {
        error = "the configuration names no main class (add a line 'mainclass your.app.Main', or pass --no-main)";
        return false;
    }
    std::string ignored;
    if (policy.classResources && !findValue(lines, "compatible", ignored)) lines.push_back("compatible true");
    std::string systemLoader;
    if (!findValue(lines, "assystemclassloader", systemLoader) && policy.flatten) {
        systemLoader = "false";
        lines.push_back("assystemclassloader false");
    }
    std::string sharing;
    if (!findValue(lines, "cds", sharing) && policy.classDataCache) {
        sharing = "auto";
        lines.push_back("cds auto");
    }
    if (equalsIgnoreCase(sharing, "auto") && !equalsIgnoreCase(systemLoader, "false")) {
        // The virtual machine never maps archived classes that a custom
        // system class loader defines, and turns its archived module graph
        // off for one: the archive would cost a slower first launch for nothing.
        warnings.push_back(
            "'cds auto' has no effect while the launcher's loader is the system class loader; "
            "pack with --flatten, or add 'assystemclassloader false' if the application "
            "does not need its classes from ClassLoader.getSystemClassLoader()");
    }
    if (policy.quietSharingNote && !equalsIgnoreCase(systemLoader, "false")) {
        // The class-data sharing note the virtual machine prints when the
        // launcher's loader is the system class loader: a unified-logging line (on standard
        // output) from JDK 21 on, a plain VM warning before, which the
        // launcher hides where the runtime it found would print it.
        lines.push_back("option -Xlog:cds=off");
    }
    return true;
}

std::string externalConfigWarning(const std::string& configPath, const std::string& outputPath,
                                  const std::vector<std::string>& lines, bool windowsTarget) {
    std::string disable;
    if (findValue(lines, "disableexternal", disable) && equalsIgnoreCase(disable, "true")) return {};
    const fs::path out = pathOf(outputPath);
    std::vector<fs::path> places = {pathOf(outputPath + ".cfg"), pathOf(outputPath + ".config")};
    if (out.has_extension()) {
        fs::path stem = out;
        stem.replace_extension();
        places.push_back(pathOf(textOf(stem) + ".cfg"));
        places.push_back(pathOf(textOf(stem) + ".config"));
    }
    for (const fs::path& place : places) {
        if (!sameFile(pathOf(configPath), place, windowsTarget)) continue;
        return "'" + configPath + "' sits where '" + textOf(out.filename()) +
               "' reads its external configuration at run time, so its lines would apply twice "
               "(argv, option and property lines repeated); move or rename it, or add 'disableexternal true'";
    }
    return {};
}

}  // namespace hux::tool
