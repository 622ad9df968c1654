// Java runtimes on Windows: jvm.dll under the runtime's bin directories. The
// system names its runtimes through the registry registrations instead.
#include <string>

#include "platform/environment.h"
#include "platform/runtime_location.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

const char* runtimeLibraryName() { return "jvm.dll"; }

const char* javaProgramName() { return "java.exe"; }

const char* const* runtimeProbePrefixes() {
    static const char* const prefixes[] = {"", "bin\\", "jre\\bin\\", "..\\jre\\bin\\", nullptr};
    return prefixes;
}

void systemRuntimeHomes(StringList& /*out*/) {}

bool javaLauncherOnPath(ByteString& launcher) {
    ByteString path;
    if (!getEnv("PATH", path)) return false;
    std::string_view rest = path.view();
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        std::string dir(rest.substr(0, semicolon));
        rest.remove_prefix(semicolon == std::string_view::npos ? rest.size() : semicolon + 1);
        // PATH elements may be quoted.
        if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"') dir = dir.substr(1, dir.size() - 2);
        if (dir.empty()) continue;
        if (dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
        const std::string candidate = dir + "java.exe";
        const DWORD attributes = GetFileAttributesA(candidate.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // Resolve links (an installer's javapath entry, say) to the file itself.
        win32::ScopedHandle file(CreateFileA(candidate.c_str(), 0,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        char final[MAX_PATH];
        const DWORD length = file ? GetFinalPathNameByHandleA(file.get(), final, MAX_PATH, FILE_NAME_NORMALIZED) : 0;
        if (length > 0 && length < MAX_PATH) {
            std::string_view resolved(final, length);
            // "\\?\C:\..." is the form the call gives; "\\?\UNC\server\..." for a share.
            if (resolved.rfind("\\\\?\\UNC\\", 0) == 0) {
                launcher.assign("\\\\");
                launcher.append(resolved.substr(8));
            } else {
                if (resolved.rfind("\\\\?\\", 0) == 0) resolved.remove_prefix(4);
                launcher.assign(resolved);
            }
        } else {
            launcher.assign(candidate);
        }
        return true;
    }
    return false;
}

}  // namespace hux::platform
