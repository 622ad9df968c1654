// The configuration keys and what the launcher does with each (the table is
// config_keys.inc): the launcher's accessors read through it, and the packer
// checks lines against it.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/utf.h"

namespace hux {

enum class ConfigKey {
#define HUX_CONFIG_KEY(id, name, values, expansion, source) id,
#include "config/config_keys.inc"
#undef HUX_CONFIG_KEY
};

enum class KeyValues { Single, Multi };
enum class KeyExpansion { AsWritten, Expanded };
enum class KeySource { AnySource, EmbeddedOnly };

struct ConfigKeyInfo {
    ConfigKey key;
    const char* name;
    KeyValues values;
    KeyExpansion expansion;
    KeySource source;

    bool singleValued() const { return values == KeyValues::Single; }
    bool expanded() const { return expansion == KeyExpansion::Expanded; }
    bool embeddedOnly() const { return source == KeySource::EmbeddedOnly; }
};

// Every key, in the order of config_keys.inc (so kConfigKeys[k] describes
// ConfigKey k).
inline constexpr ConfigKeyInfo kConfigKeys[] = {
#define HUX_CONFIG_KEY(id, name, values, expansion, source) \
    {ConfigKey::id, name, KeyValues::values, KeyExpansion::expansion, KeySource::source},
#include "config/config_keys.inc"
#undef HUX_CONFIG_KEY
};

inline constexpr const ConfigKeyInfo& configKey(ConfigKey key) { return kConfigKeys[static_cast<size_t>(key)]; }

// The key the launcher reads as `name` (any case); null when it reads none.
inline const ConfigKeyInfo* findConfigKey(std::string_view name) {
    for (const ConfigKeyInfo& info : kConfigKeys)
        if (equalsIgnoreCase(name, info.name)) return &info;
    return nullptr;
}

}  // namespace hux
