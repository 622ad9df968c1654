// Standard stream redirection on Windows: the process's standard handles are
// set to the target's handle, and the C runtime's descriptors 1 and 2 are
// re-pointed at a runtime descriptor over that handle, so that the launcher's
// own stdout and stderr writes reach the target too.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/redirect.h"
#include "platform/shared/std_streams.h"
#include "platform/win32/runtime_streams.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {

using win32::asHandle;
using win32::duplicateHandle;
using win32::ScopedHandle;

DWORD stdHandleId(StdStream which) { return which == StdStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE; }

// Makes the C runtime descriptor `fd` refer to a copy of the handle behind
// `from`. The runtime hands the copy out as inheritable; it is made private
// again so that a command started later does not hold another target's
// pipe open.
void repointDescriptor(int from, int fd) {
    if (_dup2(from, fd) != 0) return;
    const intptr_t h = _get_osfhandle(fd);
    if (h != -1) SetHandleInformation(asHandle(h), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

Status OutputTarget::openFile(const char* path) {
    close();
    if (!path || !path[0]) return errorStatus("cannot open ''", ERROR_PATH_NOT_FOUND);
    // The write access without FILE_WRITE_DATA: every write then lands at the
    // end of the file as it is at that moment, so that other writers of the
    // same file (another target opened for a differently spelled name, another
    // instance logging to the same file) are appended to and never
    // overwritten.
    const DWORD access = FILE_GENERIC_WRITE & ~static_cast<DWORD>(FILE_WRITE_DATA);
    HANDLE h =
        CreateFileW(win32::widePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastErrorStatus(describe("cannot open", path));
    SetFilePointer(h, 0, nullptr, FILE_END);
    handle_ = win32::handleValue(h);
    // The runtime descriptor owns the handle from here on.
    descriptor_ = _open_osfhandle(handle_, _O_WRONLY | _O_APPEND | _O_TEXT);
    unbuffered_ = true;
    return {};
}

Status OutputTarget::startCommand(const char* commandLine) {
    close();
    if (!commandLine) return errorStatus("cannot start no command", ERROR_INVALID_PARAMETER);
    const std::string what = describe("cannot start", commandLine);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ScopedHandle readEnd, firstWriteEnd;
    if (!CreatePipe(readEnd.receive(), firstWriteEnd.receive(), &inheritable, 0)) return lastErrorStatus(what);
    // Only the read end may reach the command.
    ScopedHandle writeEnd(duplicateHandle(firstWriteEnd.get()));
    if (!writeEnd) return lastErrorStatus(what);
    firstWriteEnd.reset();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd.get();
    startup.hStdOutput = nullptr;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION process{};
    std::string line(commandLine);  // CreateProcessA may write into its command line
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return lastErrorStatus(what);
    // The command runs on by itself: its process and thread handles are not
    // needed, and the launcher's copy of the read end (closed on return) would
    // only keep it from ever seeing end-of-file.
    const ScopedHandle thread(process.hThread), child(process.hProcess);
    handle_ = win32::handleValue(writeEnd.release());
    // Text mode like a file target; a pipe has no end to append at.
    descriptor_ = _open_osfhandle(handle_, _O_WRONLY | _O_TEXT);
    unbuffered_ = false;
    return {};
}

void OutputTarget::close() {
    if (descriptor_ >= 0) {
        _close(descriptor_);  // closes the handle too
    } else if (handle_ != kNoStreamHandle) {
        CloseHandle(asHandle(handle_));
    }
    handle_ = kNoStreamHandle;
    descriptor_ = -1;
    unbuffered_ = false;
}

Status pointStdStream(StdStream which, const OutputTarget& target, SavedStream& saved) {
    if (!target.isOpen())
        return errorStatus("cannot point a standard stream at a target that is not open", ERROR_INVALID_HANDLE);
    FILE* stream = runtimeStream(which);
    std::fflush(stream);
    const HANDLE previous = GetStdHandle(stdHandleId(which));
    // The runtime's descriptor usually owns the previous handle and closes it
    // when re-pointed; a private reference keeps it for the restore.
    const HANDLE kept = duplicateHandle(previous);
    if (target.runtimeDescriptor() >= 0) {
        repointDescriptor(target.runtimeDescriptor(), streamDescriptor(which));
        // A GUI launch without handles: the stream follows its new descriptor.
        win32::bindStreamToDescriptor(stream, streamDescriptor(which));
        if (target.unbuffered()) std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    // After the runtime (which sets the standard handle to its own copy), so
    // that the standard handle is the target's handle itself.
    SetStdHandle(stdHandleId(which), asHandle(target.handle()));
    saved.handle = win32::handleValue(kept ? kept : previous);
    saved.active = true;
    return {};
}

bool stdStreamIs(StdStream which, const OutputTarget& target) {
    return target.isOpen() && GetStdHandle(stdHandleId(which)) == asHandle(target.handle());
}

void restoreStdStream(StdStream which, SavedStream& saved) {
    if (!saved.active) return;
    FILE* stream = runtimeStream(which);
    std::fflush(stream);
    const HANDLE previous = asHandle(saved.handle);
    // The runtime's descriptor goes back to (a copy of) the previous handle.
    ScopedHandle copy(duplicateHandle(previous));
    const int fd = copy ? _open_osfhandle(win32::handleValue(copy.get()), _O_WRONLY | _O_TEXT) : -1;
    if (fd >= 0) {
        copy.release();  // the runtime's descriptor owns it now
        repointDescriptor(fd, streamDescriptor(which));
        _close(fd);
    }
    SetStdHandle(stdHandleId(which), previous);
    saved = SavedStream{};
}

void writeToHandle(intptr_t handle, const void* data, size_t count) {
    if (handle == 0 || handle == kNoStreamHandle) return;
    const auto* p = static_cast<const char*>(data);
    while (count > 0) {
        const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(asHandle(handle), p, chunk, &written, nullptr) || written == 0) return;
        p += written;
        count -= written;
    }
}

}  // namespace hux::platform
