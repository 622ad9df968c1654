#include "runtime/version_limits.h"

#include <jni.h>

#include <algorithm>
#include <optional>
#include <string>

#include "config/config_values.h"
#include "jni/exceptions.h"
#include "jni/java_calls.h"
#include "jni/java_strings.h"
#include "jni/local_ref.h"
#include "platform/text.h"

namespace hux {

namespace {

bool isScanSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One "%d" conversion at `p`: blanks, an optional sign, at least one digit.
// Out-of-range numbers saturate. Returns false on a matching failure.
bool scanInteger(const char*& p, int32_t& value) {
    const char* q = p;
    while (isScanSpace(*q)) ++q;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (!isDigit(*q)) return false;
    int64_t magnitude = 0;
    for (; isDigit(*q); ++q) {
        if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*q - '0');
    }
    if (negative) {
        value = magnitude > int64_t{INT32_MAX} + 1 ? INT32_MIN : static_cast<int32_t>(-magnitude);
    } else {
        value = magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
    }
    p = q;
    return true;
}

}  // namespace

int32_t scanVersion(const char* text, int32_t components[4]) {
    const char* p = text ? text : "";
    // Reaching the end of the text before the first conversion is an input
    // failure, which the scan reports as -1.
    const char* q = p;
    while (isScanSpace(*q)) ++q;
    if (*q == '\0') return -1;
    static const char kSeparators[3] = {'.', '.', '_'};
    int32_t count = 0;
    for (int32_t i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != kSeparators[i - 1]) break;
            ++p;
        }
        if (!scanInteger(p, components[i])) break;
        ++count;
    }
    return count;
}

int32_t compareVersionLimits(const char* version, const char* min, const char* max) {
    int32_t v[4] = {0, 0, 0, 0};
    int32_t lo[4] = {0, 0, 0, 0};
    int32_t hi[4] = {0, 0, 0, 0};
    const int32_t nv = scanVersion(version, v);
    const int32_t nlo = scanVersion(min, lo);
    const int32_t nhi = scanVersion(max, hi);
    const int32_t nLower = nlo < nv ? nlo : nv;
    for (int32_t i = 0; i < nLower; ++i) {
        if (v[i] < lo[i]) return kVersionTooLow;
        if (v[i] > lo[i]) break;
    }
    const int32_t nUpper = nhi < nv ? nhi : nv;
    for (int32_t i = 0; i < nUpper; ++i) {
        if (v[i] > hi[i]) return kVersionTooHigh;
        if (v[i] < hi[i]) break;
    }
    return kLaunchOk;
}

int32_t compareVersionTexts(const char* a, const char* b) {
    int32_t x[4] = {0, 0, 0, 0};
    int32_t y[4] = {0, 0, 0, 0};
    const int32_t nx = scanVersion(a, x);
    const int32_t ny = scanVersion(b, y);
    const int32_t n = nx < ny ? nx : ny;
    for (int32_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

bool readJavaVersion(JvmHost& host, ByteString& out) { return readJavaVersion(static_cast<JNIEnv*>(host.env), out); }

bool readJavaVersion(JNIEnv* env, ByteString& out) {
    out.clear();
    if (!env) return false;
    jni::LocalRef<jstring> result;
    if (!jni::systemProperty(env, "java.version", result)) return false;
    if (std::optional<std::u16string> units = jni::stringUnits(env, result.get())) {
        // The text ends at its first NUL, if it has one.
        units->resize(std::min(units->size(), units->find(u'\0')));
        out = platform::utf16ToAnsi(units->data(), units->size());
    }
    jni::clearPendingException(env);
    return true;
}

int32_t checkRuntimeVersion(const LaunchConfig& config, JvmHost& host, ByteString& version, ByteString& min,
                            ByteString& max) {
    min = config::minJre(config);
    max = config::maxJre(config);
    version.clear();
    if (min.empty() && max.empty()) return kLaunchOk;
    if (!readJavaVersion(host, version)) return kVersionUnknown;
    return compareVersionLimits(version.c_str(), min.c_str(), max.c_str());
}

}  // namespace hux
