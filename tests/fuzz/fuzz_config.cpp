// Feeds arbitrary bytes to the configuration store as an external file and as
// an embedded block, then looks keys up in every mode.
#include <cstddef>
#include <cstdint>

#include "config/launch_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using hux::ByteString;
    using hux::LaunchConfig;
    const size_t half = size / 2;
    LaunchConfig c(false);
    c.appendSource(data, half);
    c.appendSource(data + half, size - half);
    static const char* const keys[] = {"mainclass", "option", "a", "disableexternal", "x_y"};
    for (const char* key : keys) {
        for (int mode = 0; mode < 4; ++mode) {
            ByteString v = c.findValues(key, mode & 1, (mode & 2) != 0, {});
            (void)v;
            c.findValues(key, mode & 1, (mode & 2) != 0, "-X", [](void*, const ByteString& value) {
                if (value.c_str()[value.length()] != '\0') __builtin_trap();
            });
        }
    }
    return 0;
}
