// Linux-only code in its own folder: accepted.
#include <linux/futex.h>
#include <sys/syscall.h>
int f(int* ends) { return pipe2(ends, 0); }
