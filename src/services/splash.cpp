#include "services/splash.h"

#include "common/utf.h"
#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/paths.h"
#include "platform/files.h"
#include "platform/libraries.h"
#include "platform/resources.h"
#include "platform/splash_support.h"
#include "platform/vm_support.h"

namespace hux {

namespace {

using SplashInitFn = void (*)();
using SplashLoadFileFn = int (*)(const char*);
using SplashLoadMemoryFn = int (*)(void*, int);
using SplashSetFileJarNameFn = void (*)(const char*, const char*);

// The directory part of `path` with its trailing separator (empty when it has
// none).
// The libraries it depends on may sit beside it.
bool loadSplashLibrary(platform::DynamicLibrary& library, const ByteString& path) {
    const platform::Status loaded = platform::loadWithDirectoryOnPath(library, path, directoryOf(path.view()), false);
    if (!loaded) debugLog("splash: %s", loaded.text());
    return loaded.ok();
}

}  // namespace

ByteString findSplashLibrary(const LaunchConfig& config, const ByteString& runtime) {
    if (runtime.empty()) return {};
    ByteString candidate = directoryOf(runtime.view());
    candidate.append("../");
    candidate.append(platform::splashLibraryName());
    if (!platform::isReadable(candidate.c_str())) return {};
    // A private runtime's splash library runs code like its runtime does.
    if (liesBesideExecutable(config, candidate) && !trustedBesideExecutable(config, candidate, "splash library"))
        return {};
    return candidate;
}

void startSplash(const LaunchConfig& config, const ByteString& libraryPath, const ByteString& runtimePath) {
    const ByteString image = config::splash(config);
    // An image beside the executable that another user could have put or
    // changed there is not handed to the image decoders.
    const bool imageReadable =
        !image.empty() && platform::isReadable(image.c_str()) &&
        (!liesBesideExecutable(config, image) || trustedBesideExecutable(config, image, "splash image"));
    if (!imageReadable && !platform::loadsSplashLibraryWithoutImage()) return;
    platform::addLibraryErrorMode();
    if (platform::splashNeedsRuntimeLibrary()) {
        // Loaded for good: the virtual-machine start later loads the same file
        // again, which only counts another reference.
        platform::DynamicLibrary runtime;
        if (!runtimePath.empty())
            if (const platform::Status loaded = runtime.load(runtimePath.c_str(), true); !loaded)
                debugLog("splash: %s", loaded.text());
    }
    // Never unloaded: the splash window belongs to the library.
    platform::DynamicLibrary library;
    if (!loadSplashLibrary(library, libraryPath)) return;
    auto init = reinterpret_cast<SplashInitFn>(library.symbol("SplashInit"));
    auto loadFile = reinterpret_cast<SplashLoadFileFn>(library.symbol("SplashLoadFile"));
    auto loadMemory = reinterpret_cast<SplashLoadMemoryFn>(library.symbol("SplashLoadMemory"));
    if (!init) return;

    if (loadFile && imageReadable) {
        init();
        loadFile(image.c_str());
        // Named after loading, as `java -splash:` does: the runtime's
        // SplashScreen.getImageURL then gives the file.
        if (auto setName = reinterpret_cast<SplashSetFileJarNameFn>(library.symbol("SplashSetFileJarName")))
            setName(image.c_str(), nullptr);
        return;
    }
    const void* bytes = nullptr;
    uint32_t size = 0;
    if (loadMemory && platform::rawDataResource(100, bytes, size) && size != 0 && size <= 0x7FFFFFFF) {
        init();
        loadMemory(const_cast<void*>(bytes), static_cast<int>(size));
    }
}

}  // namespace hux
