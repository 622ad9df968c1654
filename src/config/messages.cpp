#include "config/messages.h"

#include <climits>
#include <cstdio>
#include <string>

#include "common/never_destroyed.h"
#include "config/config_values.h"
#include "config/launch_config.h"
#include "common/utf.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "platform/text.h"

namespace hux {

namespace {
struct BuiltinText {
    int number;
    const char* text;
};
// The same list makes the STRINGTABLE of resources/hux.rc.
constexpr BuiltinText kBuiltinTexts[] = {
#define HUX_MESSAGE(number, text) {number, text},
#include "config/message_texts.inc"
#undef HUX_MESSAGE
};

struct OverridePair {
    int32_t number;
    int32_t index;
};

struct OverrideTable {
    bool built = false;
    GrowArray<OverridePair> pairs;
    StringList texts;
};

OverrideTable& overrides() {
    static NeverDestroyed<OverrideTable> table;
    return *table;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Decimal conversion as strtol does it in the "C" locale: leading white space,
// an optional sign, digits up to the first non-digit; no digits give 0. Values
// beyond the 32-bit range saturate.
int32_t parseMessageNumber(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<int32_t>(v);
}

void buildOverrides(const LaunchConfig& config, OverrideTable& table) {
    StringList values;
    config::messages(config, values);
    for (int32_t i = 0; i < values.count(); ++i) {
        const std::string_view value = values.view(i);
        const size_t eq = value.find('=');
        if (eq == std::string_view::npos) continue;
        const int32_t number = parseMessageNumber(value.substr(0, eq));
        if (number <= 0) continue;
        table.pairs.push(OverridePair{number, table.texts.count()});
        table.texts.append(unescapeMessage(value.substr(eq + 1)));
    }
    table.pairs.push(OverridePair{0, 0});  // marks the table as built
    table.built = true;
}
}  // namespace

const char* builtinMessageText(int number) {
    for (const auto& t : kBuiltinTexts)
        if (t.number == number) return t.text;
    return nullptr;
}

ByteString unescapeMessage(std::string_view text) {
    ByteString out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            if (++i == text.size()) break;
            c = text[i];
            if (c == 'n')
                c = '\n';
            else if (c == 'r')
                c = '\r';
            else if (c == 't')
                c = '\t';
        }
        out.push(c);
    }
    return out;
}

ByteString messageText(const LaunchConfig& config, int number) {
    OverrideTable& table = overrides();
    if (!table.built) buildOverrides(config, table);
    if (number > 0) {
        for (const auto& pair : table.pairs)
            if (pair.number == number && pair.index >= 0 && pair.index < table.texts.count())
                return ByteString(table.texts.view(pair.index));
    }
    std::u16string units;
    if (platform::stringResource(number, units)) return platform::utf16ToAnsi(units.data(), units.size());
    const char* text = builtinMessageText(number);
    return text ? ByteString(text) : ByteString();
}

void formatText(ByteString& out, std::string_view format, const std::string_view* args, size_t count) {
    out.clear();
    size_t next = 0;
    size_t i = 0;
    while (i < format.size()) {
        const size_t pct = format.find('%', i);
        if (pct == std::string_view::npos || pct + 1 >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        out.append(format.substr(i, pct - i));
        const char spec = format[pct + 1];
        if (spec == 's') {
            if (next < count) out.append(args[next]);
            ++next;
            i = pct + 2;
        } else if (spec == '%') {
            out.push('%');
            i = pct + 2;
        } else {
            out.push('%');
            i = pct + 1;
        }
    }
}

ByteString versionMessage(const LaunchConfig& config, int number, std::string_view running, std::string_view minimum,
                          std::string_view maximum) {
    const ByteString format = messageText(config, number);
    ByteString out;
    formatText(out, format.view(), {running, minimum, maximum, std::string_view(), std::string_view()});
    return out;
}

namespace {
GuiErrorMode guiErrorMode = GuiErrorMode::Box;
}  // namespace

void setGuiErrorMode(GuiErrorMode mode) { guiErrorMode = mode; }

void printMessageLine(const ByteString& text) {
    if (!platform::standardErrorAvailable()) {
        // A console program without a console is a job nobody watches (a
        // scheduled task, a service): a modal box would hold it forever, so
        // the line goes nowhere and the exit code tells.
        if (!platform::guiSubsystem()) return;
        // Nobody would see the box either, or the application asked for none.
        if (guiErrorMode != GuiErrorMode::Box || !platform::interactiveDesktop()) return;
        // A GUI executable started without a console: the user sees a box
        // titled with the product name, else the executable's file name.
        ByteString title = platform::ownProductName();
        if (title.empty()) {
            const ByteString path = platform::moduleFileName().value();
            int32_t cut = 0;
            for (int32_t i = 0; i < path.length(); ++i)
                if (isSeparator(path[i])) cut = i + 1;
            const std::u16string name =
                platform::ansiToUtf16(path.c_str() + cut, static_cast<size_t>(path.length() - cut));
            title = utf16ToUtf8(name);
        }
        const std::u16string units = platform::ansiToUtf16(text.c_str(), static_cast<size_t>(text.length()));
        platform::showErrorBox(title, utf16ToUtf8(units));
        return;
    }
    platform::writeErrorLine(text);
}

void resetMessageOverridesForTesting() {
    OverrideTable& table = overrides();
    table.built = false;
    table.pairs.clear();
    table.texts.clear();
}

}  // namespace hux
