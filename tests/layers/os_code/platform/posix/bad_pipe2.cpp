// POSIX code that calls what only Linux offers: rejected.
#include <fcntl.h>
#include <unistd.h>
int f(int* ends) { return pipe2(ends, O_CLOEXEC); }
