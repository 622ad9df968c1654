#include "runtime/options.h"

#include <jni.h>

#include <utility>

#include "common/utf.h"
#include "common/zip_format.h"
#include "config/config_keys.h"
#include "config/config_values.h"
#include "config/paths.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/user_cache.h"
#include "config/debug_log.h"

namespace hux {

namespace {

constexpr const char kToolOptions[] = "JAVA_TOOL_OPTIONS";

// Directory levels a scan descends at most, so that a symbolic link back up
// the tree cannot make it run away.
constexpr int kMaxScanDepth = 32;

constexpr size_t kMinStartStack = 64 * 1024;

// Digits with an optional k, m, g or t (either case) scaling them, the way
// the virtual machine reads memory sizes; 0 for anything else or overflow.
uint64_t parseMemorySize(std::string_view text) {
    if (text.empty()) return 0;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0) return 0;
    if (i == text.size()) return value;
    if (i + 1 != text.size()) return 0;
    int shift = 0;
    switch (text[i]) {
        case 'k':
        case 'K': shift = 10; break;
        case 'm':
        case 'M': shift = 20; break;
        case 'g':
        case 'G': shift = 30; break;
        case 't':
        case 'T': shift = 40; break;
        default: return 0;
    }
    if (value > (UINT64_MAX >> shift)) return 0;
    return value << shift;
}

int& elevationOverride() {
    static int answer = -1;
    return answer;
}

// Calls `each` with every `separator`-separated piece of `list`, empty ones
// included, in order.
template <typename Each>
void forEachPiece(std::string_view list, char separator, Each&& each) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(separator, start);
        if (end == std::string_view::npos) end = list.size();
        each(list.substr(start, end - start));
        start = end + 1;
    }
}

struct ElementState {
    const LaunchConfig* config;
    ByteString* text;
    const OptionInputs* inputs;
};

// A class path entry or an agent beside the executable is code the launch
// runs: one that another user could have put there or could change is left
// out, with the warning the other files found there get. A missing one stays
// (the loaders skip it, and `java.class.path` lists it as written) unless the
// folder it would appear in lets others create it before it is first opened:
// that folder is judged in its place, the executable's own one included (a
// shared folder like /tmp).
bool usableBesideExecutable(const LaunchConfig& config, std::string_view entry, const char* what) {
    const ByteString path(entry);
    if (!liesBesideExecutable(config, path)) return true;
    if (platform::pathExists(path.c_str())) return trustedBesideExecutable(config, path, what);
    const auto trimmed = [](ByteString dir) {
        while (dir.length() > 1 && isSeparator(dir.back()) && dir[dir.length() - 2] != ':')
            dir.resize(dir.length() - 1);
        return dir;
    };
    const ByteString directory = trimmed(directoryOf(entry));
    ByteString anchor = trimmed(config.exeDir());
    if (platform::liesWithin(anchor.c_str(), directory.c_str())) anchor = directoryOf(anchor.view());
    return !platform::isDirectory(directory.c_str()) || trustedBesideExecutable(anchor, path, what, &directory);
}

void appendEntry(const LaunchConfig& config, ByteString& text, std::string_view entry) {
    if (!usableBesideExecutable(config, entry, "class path entry")) return;
    text.push(platform::pathListSeparator());
    text.append(entry);
}

// The file of a `-javaagent:` or `-agentpath:` option, empty for other options.
std::string_view agentFile(std::string_view option) {
    for (const std::string_view prefix : {std::string_view("-javaagent:"), std::string_view("-agentpath:")}) {
        if (option.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = option.substr(prefix.size());
        return rest.substr(0, rest.find('='));
    }
    return {};
}

// A relative pattern is matched the way a relative entry is resolved: beside
// the executable when it matches anything there, else in the working
// directory. Matching it in the working directory alone would let a jar
// planted where the user runs the program load as application code.
void matchDataPattern(const LaunchConfig& config, const OptionInputs& inputs, const ByteString& pattern,
                      StringList& matches) {
    if (!inputs.matchPattern) return;
    if (isAbsoluteConfigPath(pattern.c_str())) {
        inputs.matchPattern(pattern.c_str(), matches);
        return;
    }
    for (const ByteString& anchor : {config.exeDir(), config.workDir()}) {
        // An unknown working directory leaves the pattern relative to it.
        ByteString anchored = anchor;
        if (!anchored.empty() && !isSeparator(anchored.back())) anchored.push('/');
        anchored.append(pattern);
        inputs.matchPattern(anchored.c_str(), matches);
        if (matches.count() > 0) return;
    }
}

// Receives one class path value: its ";"-separated pieces, each expanded,
// then matched as a pattern or resolved as a configured path.
void appendElements(void* user, const ByteString& value) {
    auto* st = static_cast<ElementState*>(user);
    forEachPiece(value.view(), ';', [st](std::string_view written) {
        if (written.empty()) return;
        const ByteString piece = expandReferences(ByteString(written), ExpandMode::Ansi, st->config);
        if (piece.view().find_first_of("*?") != std::string_view::npos) {
            StringList matches;
            matchDataPattern(*st->config, *st->inputs, piece, matches);
            for (int32_t m = 0; m < matches.count(); ++m) appendEntry(*st->config, *st->text, matches.view(m));
        } else {
            appendEntry(*st->config, *st->text, resolveDataPath(*st->config, piece).view());
        }
    });
}

void scanLevel(const LaunchConfig& config, const ByteString& directory, ByteString& text, int depth) {
    ByteString base = directory;
    if (!isSeparator(base.back())) base.push('/');
    ByteString pattern = base;
    pattern.push('*');
    platform::DirLister lister;
    if (!lister.open(pattern.c_str())) return;
    platform::DirEntry entry;
    while (lister.next(entry)) {
        if (entry.isDirectory) {
            if (entry.name == "." || entry.name == "..") continue;
            if (depth >= kMaxScanDepth) continue;
            ByteString sub = base;
            sub.append(entry.name);
            scanLevel(config, sub, text, depth + 1);
        } else if (zip::isArchiveName(entry.name.view())) {
            ByteString path = base;
            path.append(entry.name);
            appendEntry(config, text, path.view());
        }
    }
}

void exportLine(const char* assignment) {
    const platform::Status set = platform::putEnv(assignment);
    if (!set) debugLog("export: %s", set.text());
}

}  // namespace

void applyExportLines(const LaunchConfig& config) {
    StringList lines;
    config::exports(config, lines);
    bool toolOptionsExported = false;
    for (int32_t i = 0; i < lines.count(); ++i) {
        const std::string_view line = lines.view(i);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (equalsIgnoreCase(line.substr(0, eq), kToolOptions)) {
            toolOptionsExported = true;
            // Spelled the way the virtual machine looks it up, also where
            // environment names are case-sensitive.
            ByteString assignment(kToolOptions);
            assignment.append(line.substr(eq));
            exportLine(assignment.c_str());
        } else {
            exportLine(lines.at(i));
        }
    }
    if (!toolOptionsExported) exportLine("JAVA_TOOL_OPTIONS=");
}

void scanArchiveDirectory(const LaunchConfig& config, const ByteString& directory, ByteString& text) {
    scanLevel(config, directory, text, 0);
}

namespace {

// An element the virtual machine would misread is handed over as a name it
// can open. The application class loader resolves its elements to canonical
// paths, which only a copy in memory survives (`resolvable`).
ByteString readableClassPath(const ByteString& path, char separator, bool resolvable) {
    ByteString out;
    bool first = true;
    forEachPiece(path.view(), separator, [&](std::string_view piece) {
        const ByteString element(piece);
        if (!first) out.push(separator);
        first = false;
        if (platform::classPathOpensByName(element.view())) {
            out.append(element);
        } else {
            const ByteString stand = platform::descriptorPath(element.c_str(), resolvable);
            if (!stand.empty()) debugLog("class path element %s is handed over as %s", element.c_str(), stand.c_str());
            out.append(stand.empty() ? element : stand);
        }
    });
    return out;
}

// Where the runtime's own loader serves the flattened classes from the
// executable, tools that read `java.class.path` (in-process compilers
// compiling against the application's libraries) take only names ending in
// ".jar" or ".zip" as archives: a link of that name in the user's private
// cache stands in for the executable in the property once the loader has
// read it (the classes keep the executable as their code source, so that
// code looking beside its own jar finds the executable's folder). Empty
// where none is needed or none can be made.
ByteString jarNamedExecutable(const LaunchConfig& config, const OptionInputs& inputs) {
    const ByteString exe = config.exePath();
    if (config::asSystemClassLoader(config) || zip::isArchiveName(exe.view()) || !inputs.holdsNestedArchives ||
        exe == platform::kSelfExecutable || !platform::pathExists(exe.c_str()) ||
        inputs.holdsNestedArchives(exe.c_str()))
        return {};
    // One link per executable path: 64 bits of FNV-1a, then the file's name.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (int32_t i = 0; i < exe.length(); ++i) hash = (hash ^ static_cast<uint8_t>(exe[i])) * 0x100000001b3ULL;
    char digits[17];
    for (int i = 15; i >= 0; --i, hash >>= 4) digits[i] = "0123456789abcdef"[hash & 15];
    digits[16] = '\0';
    ByteString name(digits);
    name.push('-');
    const std::string_view whole = exe.view();
    size_t cut = 0;
    for (size_t i = 0; i < whole.size(); ++i)
        if (isSeparator(whole[i])) cut = i + 1;
    name.append(whole.substr(cut));
    name.append(".jar");
    platform::Result<ByteString> link = platform::linkInUserCache(exe, name);
    if (!link) debugLog("no jar-named link for the executable: %s", link.status().text());
    return std::move(link.value());
}

}  // namespace

ByteString buildClassPath(const LaunchConfig& config, ClassPathFlavour flavour, const OptionInputs& inputs) {
    const bool java = flavour == ClassPathFlavour::Java;
    const char separator = platform::pathListSeparator();
    ByteString path;
    if (java) {
        const ByteString exe = config.exePath();
        // The executable cannot be named where its path holds the separator;
        // the kernel's link to the running executable stands in for it. Where
        // the virtual machine cannot open its path by name, the link would
        // lead the class loader back to that path, so a copy in memory stands
        // in.
        const bool hasSeparator = separator == ':' && exe.view().find(':') != std::string_view::npos;
        if (!hasSeparator && !platform::classPathOpensByName(exe.view()))
            path = platform::descriptorPath(exe.c_str(), true);
        if (hasSeparator || (path.empty() && !platform::classPathOpensByName(exe.view())))
            path.assign(platform::kSelfExecutable);
        if (path.empty()) {
            if (exe == platform::kSelfExecutable)
                debugLog("the executable's path is too long to name; using %s", exe.c_str());
            path = exe;
        } else {
            debugLog("the executable is on the class path as %s", path.c_str());
        }
    }
    ElementState state{&config, &path, &inputs};
    const ConfigKeyInfo& key = configKey(java ? ConfigKey::JavaClassPath : ConfigKey::ClassPath);
    config.findValues(key.name, key.embeddedOnly(), true, {}, appendElements, &state);

    StringList directories;
    if (java) {
        config::javaLibs(config, directories);
    } else {
        config::libs(config, directories);
    }
    for (int32_t i = 0; i < directories.count(); ++i) {
        ByteString found;
        scanArchiveDirectory(config, resolveDataPath(config, ByteString(directories.view(i))), found);
        if (!found.empty()) path.append(found);
    }
    if (!java) {
        for (const char* name : {"CLASSPATH", "CLASS_PATH"}) {
            ByteString value;
            if (!platform::getEnv(name, value)) continue;
            path.push(separator);
            path.append(value);
        }
    }
    return readableClassPath(path, separator, java);
}

bool isProcessElevated() {
    const int forced = elevationOverride();
    if (forced >= 0) return forced != 0;
    return platform::isProcessElevated();
}

void setElevationOverrideForTesting(int answer) { elevationOverride() = answer; }

ByteString vmOptionForm(std::string_view line) {
    // The options `java` takes with their value as the next argument and
    // hands the virtual machine as "name=value"; the machine itself knows
    // only that form and would ignore the other without a word.
    static constexpr std::string_view kSpaced[] = {
        "--add-reads",    "--add-exports", "--add-opens",           "--add-modules",          "--limit-modules",
        "--patch-module", "--module-path", "--upgrade-module-path", "--enable-native-access",
    };
    const size_t blank = line.find_first_of(" \t");
    if (blank != std::string_view::npos) {
        std::string_view name = line.substr(0, blank);
        const size_t valueAt = line.find_first_not_of(" \t", blank);
        if (name == "-p") name = "--module-path";
        for (const std::string_view known : kSpaced) {
            if (name != known || valueAt == std::string_view::npos) continue;
            ByteString form(name);
            form.push('=');
            form.append(line.substr(valueAt));
            return form;
        }
    }
    return ByteString(line);
}

void appendVmOptions(const LaunchConfig& config, JvmHost& host, const OptionInputs& inputs) {
    const int32_t first = host.optionCount();
    StringList lines;
    config::options(config, lines);
    for (int32_t i = 0; i < lines.count(); ++i) {
        const ByteString option = withTrustedFiles(config, vmOptionForm(lines.view(i)));
        if (!option.empty()) host.addOption(option.c_str());
    }

    ByteString option("-Djava.class.path=");
    option.append(buildClassPath(config, ClassPathFlavour::Java, inputs));
    host.addOption(option.c_str());
    // The executable leads the value as itself, not as a stand-in name.
    const ByteString link = jarNamedExecutable(config, inputs);
    const std::string_view value = option.view().substr(sizeof "-Djava.class.path=" - 1);
    const ByteString exePath = config.exePath();
    const std::string_view exe = exePath.view();
    if (!link.empty() && startsWith(value, exe) &&
        (value.size() == exe.size() || value[exe.size()] == platform::pathListSeparator())) {
        host.classPathProperty = link;
        host.classPathProperty.append(value.substr(exe.size()));
        debugLog("java.class.path names the executable as %s once the runtime has started", link.c_str());
    }
    option.assign("-Dhux.class.path=");
    const ByteString huxClassPath = buildClassPath(config, ClassPathFlavour::Hux, inputs);
    option.append(huxClassPath);
    host.addOption(option.c_str());
    host.direct = !config::asSystemClassLoader(config) && huxClassPath.empty() && inputs.holdsNestedArchives &&
                  !inputs.holdsNestedArchives(config.exePath().c_str());
    if (host.direct) debugLog("no nested archives and no external class path: the runtime's own loader serves");
    option.assign("-Dhux.app.path=");
    option.append(config.exePath());
    host.addOption(option.c_str());
    option.assign("-Dapplication.home=");
    option.append(config.exeDir());
    host.addOption(option.c_str());
    if (config::asSystemClassLoader(config))
        host.addOption("-Djava.system.class.loader=com.mordavin.hux.CarvossClassLoader");
    if (isProcessElevated()) host.addOption("-Dhux.is.elevated=true");

    if (debugEnabled()) {
        for (int32_t i = first; i < host.optionCount(); ++i) debugLog("option: %s", host.option(i));
    }
}

ByteString withTrustedFiles(const LaunchConfig& config, const ByteString& option) {
    const std::string_view text = option.view();
    const std::string_view agent = agentFile(text);
    if (!agent.empty()) return usableBesideExecutable(config, agent, "agent") ? option : ByteString();
    for (const std::string_view prefix : {std::string_view("-Xbootclasspath/a:"), std::string_view("--module-path="),
                                          std::string_view("--upgrade-module-path=")}) {
        if (text.substr(0, prefix.size()) != prefix) continue;
        const char separator = platform::pathListSeparator();
        ByteString kept(prefix);
        bool any = false;
        forEachPiece(text.substr(prefix.size()), separator, [&](std::string_view element) {
            if (element.empty() || !usableBesideExecutable(config, element, "class path entry")) return;
            if (any) kept.push(separator);
            kept.append(element);
            any = true;
        });
        return any ? kept : ByteString();
    }
    return option;
}

uint64_t stackSizeOption(std::string_view option) {
    constexpr std::string_view kXss = "-Xss";
    constexpr std::string_view kThreadStackSize = "-XX:ThreadStackSize=";
    if (option.substr(0, kXss.size()) == kXss) return parseMemorySize(option.substr(kXss.size()));
    if (option.substr(0, kThreadStackSize.size()) == kThreadStackSize) {
        const uint64_t kib = parseMemorySize(option.substr(kThreadStackSize.size()));
        return kib > (UINT64_MAX >> 10) ? 0 : kib << 10;
    }
    return 0;
}

size_t startThreadStackSize(const LaunchConfig& config, size_t fallback) {
    StringList lines;
    config::options(config, lines);
    uint64_t size = 0;
    bool given = false;
    for (int32_t i = 0; i < lines.count(); ++i) {
        const std::string_view line = lines.view(i);
        if (!startsWith(line, "-Xss") && !startsWith(line, "-XX:ThreadStackSize=")) continue;
        given = true;  // the last one counts, also when it does not read as a size
        size = stackSizeOption(line);
    }
    if (!given || size == 0 || size > SIZE_MAX) return fallback;
    return size < kMinStartStack ? kMinStartStack : static_cast<size_t>(size);
}

namespace {

// Sets one "name=value" assignment (the whole text is the name when there is
// no '='), built from UTF-16 so that every character arrives.
void setSystemProperty(JNIEnv* env, const std::u16string& assignment) {
    const size_t eq = assignment.find(u'=');
    const std::u16string_view all(assignment);
    const std::u16string_view name = all.substr(0, eq);
    const std::u16string_view value = eq == std::u16string::npos ? std::u16string_view() : all.substr(eq + 1);
    jni::setSystemProperty(env, name, value);
}

}  // namespace

void collectMisreadProperties(const JvmHost& host, StringList& out) {
    for (int32_t i = 0; i < host.optionCount(); ++i) {
        const std::string_view option = host.option(i);
        if (!startsWith(option, "-D") || platform::localeDecodes(option)) continue;
        out.append(option.substr(2));
    }
}

void restoreMisreadProperties(const StringList& assignments, JNIEnv_* env) {
    if (!env) return;
    for (int32_t i = 0; i < assignments.count(); ++i) {
        const std::string_view text = assignments.view(i);
        debugLog("property set again from the launcher's text: %s", assignments.at(i));
        setSystemProperty(env, platform::ansiToUtf16(text.data(), text.size()));
    }
}

void applyClassPathProperty(JvmHost& host) {
    if (host.classPathProperty.empty() || !host.jniEnv()) return;
    std::u16string assignment = u"java.class.path=";
    const std::string_view value = host.classPathProperty.view();
    assignment += platform::ansiToUtf16(value.data(), value.size());
    setSystemProperty(host.jniEnv(), assignment);
}

void applyPropertyLines(const LaunchConfig& config, JNIEnv_* env) {
    if (!env) return;
    StringList lines;
    config::properties(config, lines);
    for (int32_t i = 0; i < lines.count(); ++i) setSystemProperty(env, platform::utf8TextToUtf16(lines.view(i)));
}

}  // namespace hux
