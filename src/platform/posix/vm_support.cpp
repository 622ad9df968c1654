#include "platform/vm_support.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/pipes.h"

namespace hux::platform {

void addLibraryErrorMode() {}

bool bindsNativesItself() { return true; }

namespace {
int wakePipe[2] = {-1, -1};
SignalHandler userHandler = nullptr;
struct sigaction previousInt {};
struct sigaction previousTerm {};

// Only async-signal-safe work here: the signal number goes down the pipe.
void onSignal(int signal) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(signal);
    ssize_t ignored = write(wakePipe[1], &b, 1);
    (void)ignored;
    errno = saved;
}

void* signalThread(void*) {
    for (;;) {
        unsigned char b = 0;
        const ssize_t n = read(wakePipe[0], &b, 1);
        if (n == 1) {
            if (userHandler) userHandler(b);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return nullptr;
        }
    }
}

void installOne(int signal, struct sigaction& previous) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    previous = current;
    if (current.sa_handler == SIG_IGN) return;  // ignored at start (nohup): stays ignored
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}
}  // namespace

Status installInterruptHandler(SignalHandler handler) {
    userHandler = handler;
    if (wakePipe[0] < 0) {
        if (!posix::closeOnExecPipe(wakePipe)) return lastErrorStatus("cannot make the interrupt handler's pipe");
        pthread_t thread;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        // The thread blocks every signal so that the process's signals keep
        // going to the threads that expect them.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        const int rc = pthread_create(&thread, &attr, signalThread, nullptr);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attr);
        if (rc != 0) return errorStatus("cannot start the interrupt handler's thread", rc);
    }
    installOne(SIGINT, previousInt);
    installOne(SIGTERM, previousTerm);
    return {};
}

void chainInterruptHandler(int signal) {
    const struct sigaction& previous = signal == SIGINT ? previousInt : previousTerm;
    if (signal != SIGINT && signal != SIGTERM) return;
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN || previous.sa_handler == SIG_ERR) return;
    // Hand the signal back to the handler that was there before.
    sigaction(signal, &previous, nullptr);
    raise(signal);
}

}  // namespace hux::platform
