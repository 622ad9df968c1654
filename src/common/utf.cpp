#include "common/utf.h"

namespace hux {

void appendUtf8FromUtf16(ByteString& out, const char16_t* units, size_t count, bool stopAtZero) {
    // Reserve three bytes per unit up front, then trim to what was written.
    const int32_t start = out.length();
    if (count > static_cast<size_t>((INT32_MAX - 1 - start) / 3)) fatalOutOfMemory();
    out.resize(start + static_cast<int32_t>(count * 3));
    auto* p = reinterpret_cast<unsigned char*>(out.data()) + start;
    unsigned char* const begin = p;
    for (size_t i = 0; i < count; ++i) {
        const char16_t u = units[i];
        if (u == 0 && stopAtZero) break;
        if (u < 0x80) {
            *p++ = static_cast<unsigned char>(u);
        } else if (u < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (u >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xE0 | (u >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
    out.resize(start + static_cast<int32_t>(p - begin));
}

ByteString utf16ToUtf8(std::u16string_view units) {
    ByteString out;
    appendUtf8FromUtf16(out, units.data(), units.size());
    return out;
}

std::u16string decodeUtf8WithQuestionMarks(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        char16_t unit;
        if (c < 0x80) {
            unit = c;
            ++i;
        } else if ((c & 0xE0) == 0xC0 || (c & 0xF0) == 0xE0) {
            const size_t need = (c & 0xE0) == 0xC0 ? 2 : 3;
            if (n - i < need) break;  // cut off by the end of the text
            unit = static_cast<char16_t>(need == 2 ? (c & 0x1F) : (c & 0x0F));
            size_t j = 1;
            for (; j < need; ++j) {
                const auto d = static_cast<unsigned char>(bytes[i + j]);
                if ((d & 0xC0) != 0x80) break;
                unit = static_cast<char16_t>((unit << 6) | (d & 0x3F));
            }
            if (j < need) {
                unit = u'?';
                i += j;  // the offending byte is read again
            } else {
                i += need;
            }
        } else {
            unit = u'?';
            ++i;
        }
        if (unit == 0) break;
        out.push_back(unit);
    }
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace hux

namespace hux {

namespace {

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void pushCodePoint(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// The range the second byte of a sequence must fall in, given its lead: this
// is what rules out overlong forms and code points past U+10FFFF.
void secondByteRange(unsigned char lead, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
}

}  // namespace

Utf8Step readUtf8OrReplacement(std::string_view bytes, size_t i, bool acceptEncodedSurrogates) {
    const size_t n = bytes.size();
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) return {c, 1, true};
    size_t need;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        cp = c & 0x07;
    } else {
        return {0xFFFD, 1, false};  // a stray continuation or a lead that never starts a character
    }
    unsigned char low, high;
    secondByteRange(c, low, high);
    size_t j = 1;
    for (; j < need && i + j < n; ++j) {
        const auto d = static_cast<unsigned char>(bytes[i + j]);
        if (j == 1 ? (d < low || d > high) : !isContinuation(d)) break;
        cp = (cp << 6) | (d & 0x3F);
    }
    // When the sequence breaks off, the bytes read so far are one maximal
    // ill-formed subsequence; the byte that broke it starts the next one.
    if (j < need) return {0xFFFD, j, false};
    // A complete three-byte form of a surrogate is one ill-formed sequence.
    if (cp >= 0xD800 && cp <= 0xDFFF && !acceptEncodedSurrogates) return {0xFFFD, need, false};
    return {cp, need, true};
}

std::u16string decodeUtf8Replacing(std::string_view bytes, bool acceptEncodedSurrogates) {
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const Utf8Step step = readUtf8OrReplacement(bytes, i, acceptEncodedSurrogates);
        pushCodePoint(out, step.codePoint);
        i += step.length;
    }
    return out;
}

bool decodeUtf8OrReject(std::string_view bytes, std::u16string& out) {
    out.clear();
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const Utf8Step step = readUtf8OrReplacement(bytes, i, false);
        if (!step.valid) return false;
        pushCodePoint(out, step.codePoint);
        i += step.length;
    }
    return true;
}

void appendUtf8Standard(ByteString& out, std::u16string_view units, bool stopAtZero, char32_t loneSurrogate) {
    char buffer[4];
    for (size_t i = 0; i < units.size();) {
        if (units[i] == 0 && stopAtZero) break;
        char32_t cp = nextCodePoint(units, i);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = loneSurrogate;
        int n;
        if (cp < 0x80) {
            buffer[0] = static_cast<char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            buffer[0] = static_cast<char>(0xC0 | (cp >> 6));
            buffer[1] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            buffer[0] = static_cast<char>(0xE0 | (cp >> 12));
            buffer[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buffer[2] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            buffer[0] = static_cast<char>(0xF0 | (cp >> 18));
            buffer[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            buffer[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buffer[3] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        out.append(buffer, n);
    }
}

ByteString joinSurrogatePairs(std::string_view text) {
    auto surrogateAt = [&](size_t i, char32_t low, char32_t high) {
        if (i + 3 > text.size()) return false;
        const Utf8Step step = readUtf8OrReplacement(text, i, true);
        return step.valid && step.length == 3 && step.codePoint >= low && step.codePoint <= high;
    };
    ByteString out;
    size_t copied = 0;
    for (size_t i = 0; i + 6 <= text.size();) {
        if (!surrogateAt(i, 0xD800, 0xDBFF) || !surrogateAt(i + 3, 0xDC00, 0xDFFF)) {
            ++i;
            continue;
        }
        const char16_t pair[2] = {static_cast<char16_t>(readUtf8OrReplacement(text, i, true).codePoint),
                                  static_cast<char16_t>(readUtf8OrReplacement(text, i + 3, true).codePoint)};
        out.append(text.substr(copied, i - copied));
        appendUtf8Standard(out, std::u16string_view(pair, 2), false);
        i += 6;
        copied = i;
    }
    out.append(text.substr(copied));
    return out;
}

ByteString utf16ToUtf8Standard(std::u16string_view units, char32_t loneSurrogate) {
    ByteString out;
    appendUtf8Standard(out, units, false, loneSurrogate);
    return out;
}

ByteString utf8ToPerUnitForm(std::string_view bytes) {
    const std::u16string units = decodeUtf8Replacing(bytes, true);
    ByteString out;
    appendUtf8FromUtf16(out, units.data(), units.size(), false);
    return out;
}

char32_t nextCodePoint(std::u16string_view units, size_t& i) {
    const char16_t u = units[i++];
    if (u >= 0xD800 && u <= 0xDBFF && i < units.size() && units[i] >= 0xDC00 && units[i] <= 0xDFFF)
        return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i++] - 0xDC00);
    return u;
}

namespace {

// Runs of the one-to-one case-folding mappings: `count` code points from
// `first`, `stride` apart, each folding to itself plus `delta`.
struct FoldRun {
    char32_t first;
    uint16_t count;
    uint8_t stride;
    int32_t delta;
};

constexpr FoldRun kFoldRuns[] = {
    {0x0041, 26, 1, 32},   {0x00B5, 1, 1, 775},   {0x00C0, 23, 1, 32},    {0x00D8, 7, 1, 32},    {0x0100, 24, 2, 1},
    {0x0132, 3, 2, 1},     {0x0139, 8, 2, 1},     {0x014A, 23, 2, 1},     {0x0178, 1, 1, -121},  {0x0179, 3, 2, 1},
    {0x017F, 1, 1, -268},  {0x0181, 1, 1, 210},   {0x0182, 2, 2, 1},      {0x0186, 1, 1, 206},   {0x0187, 1, 1, 1},
    {0x0189, 2, 1, 205},   {0x018B, 1, 1, 1},     {0x018E, 1, 1, 79},     {0x018F, 1, 1, 202},   {0x0190, 1, 1, 203},
    {0x0191, 1, 1, 1},     {0x0193, 1, 1, 205},   {0x0194, 1, 1, 207},    {0x0196, 1, 1, 211},   {0x0197, 1, 1, 209},
    {0x0198, 1, 1, 1},     {0x019C, 1, 1, 211},   {0x019D, 1, 1, 213},    {0x019F, 1, 1, 214},   {0x01A0, 3, 2, 1},
    {0x01A6, 1, 1, 218},   {0x01A7, 1, 1, 1},     {0x01A9, 1, 1, 218},    {0x01AC, 1, 1, 1},     {0x01AE, 1, 1, 218},
    {0x01AF, 1, 1, 1},     {0x01B1, 2, 1, 217},   {0x01B3, 2, 2, 1},      {0x01B7, 1, 1, 219},   {0x01B8, 1, 1, 1},
    {0x01BC, 1, 1, 1},     {0x01C4, 1, 1, 2},     {0x01C5, 1, 1, 1},      {0x01C7, 1, 1, 2},     {0x01C8, 1, 1, 1},
    {0x01CA, 1, 1, 2},     {0x01CB, 9, 2, 1},     {0x01DE, 9, 2, 1},      {0x01F1, 1, 1, 2},     {0x01F2, 2, 2, 1},
    {0x01F6, 1, 1, -97},   {0x01F7, 1, 1, -56},   {0x01F8, 20, 2, 1},     {0x0220, 1, 1, -130},  {0x0222, 9, 2, 1},
    {0x023A, 1, 1, 10795}, {0x023B, 1, 1, 1},     {0x023D, 1, 1, -163},   {0x023E, 1, 1, 10792}, {0x0241, 1, 1, 1},
    {0x0243, 1, 1, -195},  {0x0244, 1, 1, 69},    {0x0245, 1, 1, 71},     {0x0246, 5, 2, 1},     {0x0370, 2, 2, 1},
    {0x0376, 1, 1, 1},     {0x037F, 1, 1, 116},   {0x0386, 1, 1, 38},     {0x0388, 3, 1, 37},    {0x038C, 1, 1, 64},
    {0x038E, 2, 1, 63},    {0x0391, 17, 1, 32},   {0x03A3, 9, 1, 32},     {0x03C2, 1, 1, 1},     {0x03CF, 1, 1, 8},
    {0x03D0, 1, 1, -30},   {0x03D1, 1, 1, -25},   {0x03D5, 1, 1, -15},    {0x03D6, 1, 1, -22},   {0x03D8, 12, 2, 1},
    {0x03F0, 1, 1, -54},   {0x03F1, 1, 1, -48},   {0x03F4, 1, 1, -60},    {0x03F5, 1, 1, -64},   {0x03F7, 1, 1, 1},
    {0x03F9, 1, 1, -7},    {0x03FA, 1, 1, 1},     {0x03FD, 3, 1, -130},   {0x0400, 16, 1, 80},   {0x0410, 32, 1, 32},
    {0x0460, 17, 2, 1},    {0x048A, 27, 2, 1},    {0x04C0, 1, 1, 15},     {0x04C1, 7, 2, 1},     {0x04D0, 48, 2, 1},
    {0x0531, 38, 1, 48},   {0x10A0, 38, 1, 7264}, {0x10C7, 1, 1, 7264},   {0x10CD, 1, 1, 7264},  {0x1C80, 1, 1, -6222},
    {0x1C81, 1, 1, -6221}, {0x1C82, 1, 1, -6212}, {0x1C83, 2, 1, -6210},  {0x1C85, 1, 1, -6211}, {0x1C86, 1, 1, -6204},
    {0x1C87, 1, 1, -6180}, {0x1C88, 1, 1, 35267}, {0x1C90, 43, 1, -3008}, {0x1CBD, 3, 1, -3008}, {0x1E00, 75, 2, 1},
    {0x1E9B, 1, 1, -58},   {0x1E9E, 1, 1, -7615}, {0x1EA0, 48, 2, 1},     {0x1F08, 8, 1, -8},    {0x1F18, 6, 1, -8},
    {0x1F28, 8, 1, -8},    {0x1F38, 8, 1, -8},    {0x1F48, 6, 1, -8},     {0x1F59, 4, 2, -8},    {0x1F68, 8, 1, -8},
    {0x1F88, 8, 1, -8},    {0x1F98, 8, 1, -8},    {0x1FA8, 8, 1, -8},     {0x1FB8, 2, 1, -8},    {0x1FBA, 2, 1, -74},
    {0x1FBC, 1, 1, -9},    {0x1FBE, 1, 1, -7173}, {0x1FC8, 4, 1, -86},    {0x1FCC, 1, 1, -9},    {0x1FD8, 2, 1, -8},
    {0x1FDA, 2, 1, -100},  {0x1FE8, 2, 1, -8},    {0x1FEA, 2, 1, -112},   {0x1FEC, 1, 1, -7},    {0x1FF8, 2, 1, -128},
    {0x1FFA, 2, 1, -126},  {0x1FFC, 1, 1, -9},    {0xFF21, 26, 1, 32},
};

}  // namespace

char32_t foldCase(char32_t c) {
    // The last run starting at or before c is the only one that can hold it.
    size_t low = 0;
    size_t high = sizeof kFoldRuns / sizeof kFoldRuns[0];
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (kFoldRuns[mid].first <= c) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == 0) return c;
    const FoldRun& run = kFoldRuns[low - 1];
    const char32_t offset = c - run.first;
    if (offset % run.stride != 0 || offset / run.stride >= run.count) return c;
    return static_cast<char32_t>(static_cast<int32_t>(c) + run.delta);
}

}  // namespace hux
