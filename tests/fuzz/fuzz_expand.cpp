// Reference expansion (both modes), message unescaping and the message
// formatter over arbitrary bytes.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/config_values.h"
#include "config/launch_config.h"
#include "config/messages.h"
#include "platform/environment.h"

using namespace hux;

namespace {
LaunchConfig& anchors() {
    static LaunchConfig* config = new LaunchConfig(false);
    return *config;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C.UTF-8");
    anchors().setExePathForTesting("/opt/app/tool");
    anchors().setWorkDirForTesting("/work/");
    platform::putEnv("HUX_F=v%HUX_F%$$\xC3\xA9").ignore();
    platform::putEnv("HOMEDRIVE=D:").ignore();
    platform::putEnv("HOMEPATH=\\h").ignore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ByteString input(text);

    const ByteString ansi = expandReferences(input, ExpandMode::Ansi, &anchors());
    const ByteString utf8 = expandReferences(input, ExpandMode::Utf8, &anchors());
    if (ansi.c_str()[ansi.length()] != '\0' || utf8.c_str()[utf8.length()] != '\0') std::abort();

    const ByteString unescaped = unescapeMessage(text);
    if (unescaped.length() > input.length()) std::abort();

    // The input is the format; its first bytes, cut at '|', are the arguments.
    std::string_view args[5];
    size_t count = 0;
    std::string_view rest = text.substr(0, text.size() / 2);
    while (count < 5 && !rest.empty()) {
        const size_t bar = rest.find('|');
        args[count++] = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
    ByteString formatted;
    formatText(formatted, text, args, count);
    size_t bound = text.size();
    for (size_t i = 0; i < count; ++i) bound += args[i].size() * (text.size() / 2 + 1);
    if (static_cast<size_t>(formatted.length()) > bound) std::abort();
    return 0;
}
