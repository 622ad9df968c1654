// Threads and timing on Windows: threads of the C runtime (_beginthreadex).
#include <process.h>

#include "platform/threads.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

namespace {
struct ThreadState {
    ThreadProc proc;
    void* argument;
};
unsigned __stdcall threadEntry(void* p) {
    auto* st = static_cast<ThreadState*>(p);
    ThreadProc proc = st->proc;
    void* argument = st->argument;
    delete st;
    return static_cast<unsigned>(proc(argument));
}
}  // namespace

Thread::~Thread() { detach(); }

Status Thread::start(ThreadProc proc, void* argument, size_t stackSize, bool reserveOnly) {
    auto* st = new ThreadState{proc, argument};
    uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), threadEntry, st,
                                 reserveOnly ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (!h) {
        // _beginthreadex leaves the system's code of CreateThread in place.
        Status failed = lastErrorStatus("cannot start a thread");
        delete st;
        return failed;
    }
    handle_ = static_cast<intptr_t>(h);
    return {};
}

int Thread::join() {
    if (!handle_) return 0;
    const win32::ScopedHandle thread(win32::asHandle(handle_));
    handle_ = 0;
    DWORD code = 0;
    WaitForSingleObject(thread.get(), INFINITE);
    GetExitCodeThread(thread.get(), &code);
    return static_cast<int>(code);
}

void Thread::detach() {
    if (handle_) CloseHandle(win32::asHandle(handle_));
    handle_ = 0;
}

void sleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

int64_t steadyMs() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace hux::platform
