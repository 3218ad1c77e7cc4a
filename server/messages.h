// The daemon's only outputs besides replies: notices and traces on standard
// output, errors on standard error. Every message is flushed as it is written,
// since several carry no line end and an operator follows them live.
#pragma once

void write_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void write_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "what: <the system's text for errno>" and a line end on standard error, in
// the manner of perror; errno is left as it was.
void report_system_error(const char* what);
