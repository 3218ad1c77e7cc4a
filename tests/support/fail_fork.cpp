// Loaded with LD_PRELOAD to make the server's fork fail as it would when the
// system has no room for another process.
#include <sys/types.h>

#include <cerrno>

extern "C" pid_t fork() {
    errno = EAGAIN;
    return -1;
}
