#include "server/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

void write_to(std::FILE* stream, const char* format, va_list args) {
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}

}  // namespace

void write_out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_to(stdout, format, args);
    va_end(args);
}

void write_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_to(stderr, format, args);
    va_end(args);
}

void report_system_error(const char* what) {
    const int saved_errno = errno;
    std::fflush(stdout);  // keep the order of the two streams as written
    std::perror(what);
    errno = saved_errno;
}
