// The daemon's only outputs besides replies: notices and traces on standard
// output, errors on standard error. Writing a message never makes the loop
// wait, whoever reads (or stops reading) the other end: a message goes out
// with one write(2) when its stream polls writable, and is dropped otherwise.
// Drops are counted for each stream, and the next message that can be
// written there is preceded by one line that says how many were lost.
// Nothing is buffered, so the two streams keep the order of writing.
#pragma once

#include <climits>
#include <cstddef>

// A pipe that polls writable takes a write of up to PIPE_BUF bytes whole;
// longer messages are cut to this rather than wait for room.
inline constexpr std::size_t max_message_length = PIPE_BUF;

void write_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void write_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "what: <the system's text for errno>" and a line end on standard error, in
// the manner of perror. Every function here leaves errno as it was.
void report_system_error(const char* what);
