// The configuration keys the launcher reads, for the packer's warnings and
// the launcher's own debug lines about lines it ignores.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

#include "common/utf.h"

namespace hux {

inline constexpr const char* kKnownConfigKeys[] = {
    "mainclass",  "appid",           "singleinstance",
    "wildcard",   "forcecwd",        "stdout",
    "stderr",     "splash",          "option",
    "property",   "export",          "argv",
    "message",    "classpath",       "java_classpath",
    "libs",       "java_libs",       "jre_order",
    "jre",        "jvmdll",          "vm",
    "minjre",     "maxjre",          "assystemclassloader",
    "compatible", "disableexternal", "cds",
    "guierrors",
};

// Whether the launcher reads lines with the key `key` (any case).
inline bool knownConfigKey(std::string_view key) {
    return std::any_of(std::begin(kKnownConfigKeys), std::end(kKnownConfigKeys),
                       [&](const char* k) { return equalsIgnoreCase(key, k); });
}

}  // namespace hux
