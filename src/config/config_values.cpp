#include "config/config_values.h"

#include <cstring>
#include <string>

#include "common/never_destroyed.h"
#include "common/utf.h"
#include "config/config_keys.h"
#include "config/paths.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace hux {

namespace {

// Budget of one top-level expansion, shared by the nested expansions of
// expandable registry strings.
struct ExpandState {
    const LaunchConfig* config = nullptr;  // for the built-in names
    int depth = 0;
    int registryReads = 0;
};

ByteString expandWith(const ByteString& input, ExpandMode mode, ExpandState& state);
bool registryValueWith(std::string_view name, ByteString& value, ExpandState& state);
ByteString registryDataTextWith(uint32_t type, const uint8_t* data, int32_t size, ExpandState& state);

// Reference names are runs of ASCII letters, digits and '_' (the same in every
// locale and code page).
bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool resolveName(std::string_view name, ByteString& value, ExpandState& state) {
    // A NUL inside a braced name cannot name anything.
    if (name.find('\0') != std::string_view::npos) return false;
    const ByteString cname(name);
    if (platform::getEnv(cname.c_str(), value)) return true;
    if (specialValue(name, value, state.config)) return true;
    return registryValueWith(name, value, state);
}

void appendValue(ByteString& out, const ByteString& value, ExpandMode mode) {
    if (mode == ExpandMode::Utf8 && hasHighByte(value.view())) {
        const std::u16string units = platform::ansiToUtf16(value.data(), static_cast<size_t>(value.length()));
        appendUtf8FromUtf16(out, units.data(), units.size());
    } else {
        out.append(value);
    }
}

ByteString expandWith(const ByteString& input, ExpandMode mode, ExpandState& state) {
    const std::string_view s = input.view();
    const size_t n = s.size();
    ByteString out;
    size_t i = 0;
    while (i < n) {
        const char sigil = s[i];
        if (sigil != '%' && sigil != '$') {
            // Copy the run of ordinary text at once.
            size_t j = i;
            while (j < n && s[j] != '%' && s[j] != '$') ++j;
            out.append(s.substr(i, j - i));
            i = j;
            continue;
        }
        size_t nameStart = i + 1;
        size_t nameEnd = nameStart;
        size_t refEnd = nameStart;  // just past the reference (before a closing '%')
        if (nameStart < n && s[nameStart] == '{') {
            ++nameStart;
            const size_t close = s.find('}', nameStart);
            nameEnd = close == std::string_view::npos ? n : close;
            refEnd = close == std::string_view::npos ? n : close + 1;
        } else {
            while (nameEnd < n && isNameChar(s[nameEnd])) ++nameEnd;
            refEnd = nameEnd;
        }
        if (nameEnd == nameStart) {
            // "%%" and "$$" (also "%{}%") stand for one sigil; a lone sigil is text.
            out.push(sigil);
            i = (refEnd < n && s[refEnd] == sigil) ? refEnd + 1 : i + 1;
            continue;
        }
        if (sigil == '%') {
            if (refEnd >= n || s[refEnd] != '%') {
                out.append(s.substr(i, refEnd - i));
                i = refEnd;
                continue;
            }
            ++refEnd;
        }
        ByteString value;
        if (resolveName(s.substr(nameStart, nameEnd - nameStart), value, state)) {
            appendValue(out, value, mode);
        } else {
            out.append(s.substr(i, refEnd - i));
        }
        i = refEnd;
    }
    return out;
}

struct RootPrefix {
    const char* prefix;
    platform::RegistryRoot root;
};
constexpr RootPrefix kRootPrefixes[] = {
    {"HKCR\\", platform::RegistryRoot::ClassesRoot},
    {"HKCU\\", platform::RegistryRoot::CurrentUser},
    {"HKLM\\", platform::RegistryRoot::LocalMachine},
    {"HKU\\", platform::RegistryRoot::Users},
    {"HKCC\\", platform::RegistryRoot::CurrentConfig},
    {"HKEY_CLASSES_ROOT\\", platform::RegistryRoot::ClassesRoot},
    {"HKEY_CURRENT_USER\\", platform::RegistryRoot::CurrentUser},
    {"HKEY_LOCAL_MACHINE\\", platform::RegistryRoot::LocalMachine},
    {"HKEY_USERS\\", platform::RegistryRoot::Users},
    {"HKEY_CURRENT_CONFIG\\", platform::RegistryRoot::CurrentConfig},
};

bool registryValueWith(std::string_view name, ByteString& value, ExpandState& state) {
    const RootPrefix* root = nullptr;
    for (const auto& r : kRootPrefixes) {
        if (startsWith(name, r.prefix)) {
            root = &r;
            name.remove_prefix(std::strlen(r.prefix));
            break;
        }
    }
    const size_t bar = name.find('|');
    const bool hasDefault = bar != std::string_view::npos;
    const std::string_view fallback = hasDefault ? name.substr(bar + 1) : std::string_view();
    if (hasDefault) name = name.substr(0, bar);
    auto useDefault = [&]() {
        if (hasDefault) value.assign(fallback);
        return hasDefault;
    };
    if (!root || state.registryReads >= kMaxRegistryReadsPerExpansion) return useDefault();
    ++state.registryReads;

    const size_t slash = name.rfind('\\');
    const ByteString keyPath(slash == std::string_view::npos ? name : name.substr(0, slash));
    const ByteString valueName(slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1));
    uint32_t type = 0;
    ByteBuffer data;
    if (!platform::readRegistryValue(root->root, keyPath.c_str(), valueName.c_str(), type, data)) return useDefault();
    value = registryDataTextWith(type, data.data(), data.length(), state);
    return true;
}

ByteString registryDataTextWith(uint32_t type, const uint8_t* data, int32_t size, ExpandState& state) {
    if (size < 0) size = 0;
    switch (type) {
        case platform::kRegString:
        case platform::kRegExpandString: {
            const void* nul = size > 0 ? std::memchr(data, 0, static_cast<size_t>(size)) : nullptr;
            const int32_t length = nul ? static_cast<int32_t>(static_cast<const uint8_t*>(nul) - data) : size;
            ByteString text(reinterpret_cast<const char*>(data), length);
            if (type == platform::kRegString || state.depth >= kMaxRegistryExpansionDepth) return text;
            ++state.depth;
            ByteString expanded = expandWith(text, ExpandMode::Ansi, state);
            --state.depth;
            return expanded;
        }
        case platform::kRegDword:
        case platform::kRegDwordBigEndian: {
            // Short data reads as zero-padded.
            uint8_t b[4] = {0, 0, 0, 0};
            for (int32_t k = 0; k < 4 && k < size; ++k) b[k] = data[k];
            uint32_t u = type == platform::kRegDword
                             ? readLe32(b)
                             : (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                                   (static_cast<uint32_t>(b[2]) << 8) | b[3];
            const int64_t v = u >= 0x80000000u ? static_cast<int64_t>(u) - 0x100000000LL : static_cast<int64_t>(u);
            return ByteString(std::to_string(v));
        }
        default: return {};
    }
}

ByteString& composedHome() {
    static NeverDestroyed<ByteString> home;
    return *home;
}

}  // namespace

ByteString expandReferences(const ByteString& input, ExpandMode mode, const LaunchConfig* config) {
    ExpandState state;
    state.config = config;
    return expandWith(input, mode, state);
}

bool registryValue(std::string_view name, ByteString& value) {
    ExpandState state;
    return registryValueWith(name, value, state);
}

ByteString registryDataText(uint32_t type, const uint8_t* data, int32_t size) {
    ExpandState state;
    return registryDataTextWith(type, data, size, state);
}

bool specialValue(std::string_view name, ByteString& value, const LaunchConfig* config) {
    if (equalsIgnoreCase(name, "HOME")) {
        ByteString& home = composedHome();
        if (home.empty()) {
            ByteString drive;
            ByteString path;
            if (platform::getEnv("HOMEDRIVE", drive) && platform::getEnv("HOMEPATH", path)) {
                home = drive;
                home.append(path);
            }
        }
        value = home;
        return true;
    }
    if (!config) return false;
    if (equalsIgnoreCase(name, "APPLICATION_HOME")) {
        value = config->exeDir();
        return true;
    }
    if (equalsIgnoreCase(name, "PWD")) {
        value = config->workDir();
        return true;
    }
    if (equalsIgnoreCase(name, "HUX_APP_PATH")) {
        value = config->exePath();
        return true;
    }
    return false;
}

void resetSpecialValuesForTesting() { composedHome().clear(); }

SingleInstanceMode parseSingleInstanceMode(std::string_view value) {
    if (equalsIgnoreCase(value, "true")) return SingleInstanceMode::Mutex;
    if (equalsIgnoreCase(value, "custom")) return SingleInstanceMode::Custom;
    if (equalsIgnoreCase(value, "forward")) return SingleInstanceMode::Forward;
    return SingleInstanceMode::Off;
}

GuiErrorMode parseGuiErrorMode(std::string_view value) {
    return equalsIgnoreCase(value, "stderr") ? GuiErrorMode::StandardError : GuiErrorMode::Box;
}

WildcardMode parseWildcardMode(std::string_view value) {
    if (equalsIgnoreCase(value, "true") || equalsIgnoreCase(value, "auto")) return WildcardMode::Unquoted;
    if (equalsIgnoreCase(value, "all")) return WildcardMode::All;
    return WildcardMode::None;
}

namespace config {

namespace {
// The first value of a single-valued key, from the sources the table allows,
// expanded (ANSI mode) where the table says so.
ByteString value(const LaunchConfig& c, ConfigKey key) {
    const ConfigKeyInfo& info = configKey(key);
    ByteString text = c.firstValue(info.name, info.embeddedOnly(), true);
    return info.expanded() ? expandReferences(text, ExpandMode::Ansi, &c) : text;
}

// Every value of a multi-valued key, expanded in `mode`.
void values(const LaunchConfig& c, ConfigKey key, StringList& out, ExpandMode mode = ExpandMode::Ansi) {
    const ConfigKeyInfo& info = configKey(key);
    c.collectValues(info.name, out, info.embeddedOnly(), mode == ExpandMode::Ansi);
}

void rawSink(void* user, const ByteString& text) { static_cast<StringList*>(user)->append(text); }

void rawValues(const LaunchConfig& c, ConfigKey key, StringList& out) {
    const ConfigKeyInfo& info = configKey(key);
    c.findValues(info.name, info.embeddedOnly(), true, {}, rawSink, &out);
}
}  // namespace

// Written with slashes too, as `java` takes it (some manifests name
// "pkg/Main"); the virtual machine knows only the dotted name.
ByteString mainClass(const LaunchConfig& c) {
    ByteString name = value(c, ConfigKey::MainClass);
    for (int32_t i = 0; i < name.length(); ++i)
        if (name[i] == '/') name[i] = '.';
    return name;
}
ByteString appId(const LaunchConfig& c) { return value(c, ConfigKey::AppId); }
SingleInstanceMode singleInstance(const LaunchConfig& c) {
    return parseSingleInstanceMode(value(c, ConfigKey::SingleInstance).view());
}
WildcardMode wildcard(const LaunchConfig& c) { return parseWildcardMode(value(c, ConfigKey::Wildcard).view()); }
GuiErrorMode guiErrors(const LaunchConfig& c) { return parseGuiErrorMode(value(c, ConfigKey::GuiErrors).view()); }
ByteString forceCwd(const LaunchConfig& c) { return value(c, ConfigKey::ForceCwd); }
ByteString stdoutTarget(const LaunchConfig& c) { return value(c, ConfigKey::Stdout); }
ByteString stderrTarget(const LaunchConfig& c) { return value(c, ConfigKey::Stderr); }
ByteString splash(const LaunchConfig& c) { return resolveDataPath(c, value(c, ConfigKey::Splash)); }
ByteString jreOrder(const LaunchConfig& c) { return value(c, ConfigKey::JreOrder); }
ByteString jre(const LaunchConfig& c) { return value(c, ConfigKey::Jre); }
ByteString jvmDll(const LaunchConfig& c) { return value(c, ConfigKey::JvmDll); }
ByteString vm(const LaunchConfig& c) { return value(c, ConfigKey::Vm); }
ByteString minJre(const LaunchConfig& c) { return value(c, ConfigKey::MinJre); }
ByteString maxJre(const LaunchConfig& c) { return value(c, ConfigKey::MaxJre); }
bool asSystemClassLoader(const LaunchConfig& c) {
    return !equalsIgnoreCase(value(c, ConfigKey::AsSystemClassLoader).view(), "FALSE");
}
bool classDataSharing(const LaunchConfig& c) { return equalsIgnoreCase(value(c, ConfigKey::Cds).view(), "auto"); }
bool compatible(const LaunchConfig& c) { return value(c, ConfigKey::Compatible) == "true"; }
bool disableExternal(const LaunchConfig& c) {
    return equalsIgnoreCase(value(c, ConfigKey::DisableExternal).view(), "true");
}

void options(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Option, out); }
void properties(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Property, out, ExpandMode::Utf8); }
void exports(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Export, out); }
void argv(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Argv, out); }
void messages(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Message, out); }
void libs(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::Libs, out); }
void javaLibs(const LaunchConfig& c, StringList& out) { values(c, ConfigKey::JavaLibs, out); }

void classPathRaw(const LaunchConfig& c, StringList& out) { rawValues(c, ConfigKey::ClassPath, out); }
void javaClassPathRaw(const LaunchConfig& c, StringList& out) { rawValues(c, ConfigKey::JavaClassPath, out); }

ByteString firstThreadOption(const LaunchConfig& c) {
    const ConfigKeyInfo& info = configKey(ConfigKey::Option);
    return c.findValues(info.name, info.embeddedOnly(), true, "-XstartOnFirstThread");
}

ByteString vmPreference(const LaunchConfig& c) {
    ByteString& cache = c.vmCache();
    if (cache.empty()) {
        cache = vm(c);
        if (cache.empty()) cache.assign("-");
    }
    return cache;
}

}  // namespace config
}  // namespace hux
