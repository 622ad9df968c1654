#include "services/wildcard.h"

#include <cstring>

#include "common/utf.h"
#include "platform/files.h"
#include "platform/process.h"

namespace hux {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isWildcard(char c) { return c == '*' || c == '?'; }

void padMarks(GrowArray<int32_t>* marks, int32_t count) {
    if (!marks) return;
    while (marks->size() < count) marks->push(kNoWildcard);
}

}  // namespace

int32_t splitCommandLine(char* buffer, GrowArray<char*>& tokens, GrowArray<int32_t>* marks) {
    // Reading runs at i, writing at w <= i, so the text shrinks in place.
    size_t i = 0;
    size_t w = 0;
    bool quoted = false;
    for (;;) {
        while (isBlank(buffer[i])) {
            buffer[w++] = '\0';
            ++i;
        }
        if (buffer[i] == '\0') break;
        tokens.push(buffer + w);
        padMarks(marks, tokens.size());
        int32_t* mark = marks ? &(*marks)[tokens.size() - 1] : nullptr;
        if (mark) *mark = kNoWildcard;
        while (buffer[i] != '\0' && (quoted || !isBlank(buffer[i]))) {
            const char c = buffer[i];
            if (c == '"') {
                quoted = !quoted;
                ++i;
            } else if (c == '\\') {
                size_t n = 0;
                while (buffer[i] == '\\') {
                    buffer[w++] = buffer[i++];
                    ++n;
                }
                if (buffer[i] == '"') {
                    // 2k backslashes before a quote give k and leave the quote to
                    // toggle; 2k + 1 give k and a literal quote.
                    w -= (n + 1) / 2;
                    if (n % 2 == 1) {
                        buffer[w++] = '"';
                        ++i;
                    }
                }
            } else {
                if (mark && isWildcard(c) && *mark != kWildcardQuoted)
                    *mark = quoted ? kWildcardQuoted : kWildcardUnquoted;
                buffer[w++] = c;
                ++i;
            }
        }
    }
    buffer[w] = '\0';
    padMarks(marks, tokens.size());
    return tokens.size();
}

namespace {

// Expands the first wildcard at or after `from`. Names substituted for earlier
// components are never searched again, so a name that itself holds '*' or '?'
// (possible outside Windows) cannot make the expansion loop.
void expandFrom(const ByteString& pattern, int32_t from, StringList& out) {
    int32_t star = -1;
    for (int32_t k = from; k < pattern.length(); ++k) {
        if (isWildcard(pattern[k])) {
            star = k;
            break;
        }
    }
    if (star < 0) {
        if (platform::pathExists(pattern.c_str())) out.append(pattern);
        return;
    }
    int32_t prefixEnd = 0;  // length of the prefix, up to and including its separator
    for (int32_t k = star; k >= 0; --k) {
        if (isSeparator(pattern[k])) {
            prefixEnd = k + 1;
            break;
        }
    }
    int32_t e = star;
    while (e < pattern.length() && !isSeparator(pattern[e])) ++e;
    const ByteString search(pattern.data(), e);
    platform::DirLister lister;
    if (!lister.open(search.c_str())) return;
    platform::DirEntry entry;
    while (lister.next(entry)) {
        if (entry.name == "." || entry.name == "..") continue;
        ByteString path(pattern.data(), prefixEnd);
        path.append(entry.name);
        if (e == pattern.length()) {
            out.append(path);
        } else if (entry.isDirectory) {
            const int32_t resume = path.length();
            path.append(pattern.data() + e, pattern.length() - e);
            expandFrom(path, resume, out);
        }
    }
}

}  // namespace

void expandPattern(const char* pattern, StringList& out) {
    if (!pattern) return;
    expandFrom(ByteString(pattern), 0, out);
}

void expandArguments(int32_t argc, char** argv, WildcardMode mode, StringList& out) {
    if (mode == WildcardMode::None) {
        for (int32_t i = 0; i < argc; ++i) out.append(std::string_view(argv[i]));
        return;
    }
    GrowArray<char*> tokens;
    GrowArray<int32_t> marks;
    ByteString line;
    if (platform::rawCommandLine(line)) {
        splitCommandLine(line.data(), tokens, &marks);
    } else {
        // The shell has split the arguments and expanded what it could: a token
        // that still holds a wildcard was quoted or matched nothing, and counts
        // as written inside quotes.
        for (int32_t i = 0; i < argc; ++i) {
            tokens.push(argv[i]);
            bool wild = false;
            for (const char* p = argv[i]; *p && !wild; ++p) wild = isWildcard(*p);
            marks.push(wild ? kWildcardQuoted : kNoWildcard);
        }
    }
    expandTokens(tokens.data(), marks.data(), tokens.size(), mode, out);
}

void expandTokens(char* const* tokens, const int32_t* marks, int32_t count, WildcardMode mode, StringList& out) {
    for (int32_t t = 0; t < count; ++t) {
        const int32_t mark = marks[t];
        if (mark == kNoWildcard || mode == WildcardMode::None ||
            (mode == WildcardMode::Unquoted && mark != kWildcardUnquoted)) {
            out.append(tokens[t]);
            continue;
        }
        StringList matches;
        expandPattern(tokens[t], matches);
        if (matches.count() == 0) {
            out.append(tokens[t]);
            continue;
        }
        for (int32_t m = 0; m < matches.count(); ++m) out.append(matches.view(m));
    }
}

}  // namespace hux
