// POSIX code that only names Linux facilities in comments: accepted.
// (pipe2 and /proc/self are Linux's; memfd_create( too.)
/* sendfile( would be Linux-only */
#include <unistd.h>
#include <sys/stat.h>
