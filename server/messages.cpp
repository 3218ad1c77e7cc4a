#include "server/messages.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The counts belong to the streams, which the whole process shares, so they
// live here rather than in server_state: the table's traces come through
// write_out too, without a server_state at hand.
struct output_stream {
    int descriptor;
    const char* name;           // for the line that reports drops
    std::uint64_t dropped = 0;  // since the last such line
};

output_stream standard_output{STDOUT_FILENO, "standard output"};
output_stream standard_error{STDERR_FILENO, "standard error"};

// The descriptors are shared with the shell or the terminal that started the
// server, so they stay blocking (O_NONBLOCK would change them for everyone
// who shares them); a poll that does not wait says whether a write would.
bool writable_now(int descriptor) {
    pollfd p{descriptor, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// A write that fails (the reader has gone, the descriptor was made
// non-blocking behind the server's back) loses the text like a full pipe does.
bool write_now(const output_stream& stream, const char* text, std::size_t length) {
    return writable_now(stream.descriptor) && ::write(stream.descriptor, text, length) >= 0;
}

void emit(output_stream& stream, const char* text, std::size_t length) {
    if (stream.dropped > 0) {
        char line[128];
        const int n = std::snprintf(
            line, sizeof line, "atom_server: %llu message%s dropped while %s was not writable\n",
            static_cast<unsigned long long>(stream.dropped), stream.dropped == 1 ? "" : "s",
            stream.name);
        if (!write_now(stream, line, static_cast<std::size_t>(n))) {
            ++stream.dropped;
            return;
        }
        stream.dropped = 0;
    }
    if (!write_now(stream, text, length)) ++stream.dropped;
}

void write_to(output_stream& stream, const char* format, va_list args) {
    const int saved_errno = errno;
    char text[max_message_length + 1];  // and vsnprintf's zero byte
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n > 0) emit(stream, text, std::min(static_cast<std::size_t>(n), max_message_length));
    errno = saved_errno;
}

}  // namespace

void write_out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_to(standard_output, format, args);
    va_end(args);
}

void write_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_to(standard_error, format, args);
    va_end(args);
}

void report_system_error(const char* what) {
    const int saved_errno = errno;
    const char* reason = std::strerror(saved_errno);
    if (what != nullptr && what[0] != '\0') {
        write_err("%s: %s\n", what, reason);
    } else {
        write_err("%s\n", reason);  // perror writes the bare text then
    }
    errno = saved_errno;
}
