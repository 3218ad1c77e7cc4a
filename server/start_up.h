// Start-up: the command line, the probe for a server that already answers,
// the fork into the background, the two server sockets and server_state.
#pragma once

// The project's version, given by the build.
inline constexpr const char* server_version = ATOM_SERVER_VERSION;

struct start_options {
    bool quiet = false;
    int no_fork = 0;  // any number of -no_fork; non-zero keeps the process in front
    bool verbose = false;
    bool version = false;           // -version: print the version line and exit 0
    const char* journal = nullptr;  // -journal PATH: the table outlives the process
    bool fsync = false;             // -fsync: and the loss of the machine
};

// Applies the options left to right. Returns false, having written the
// message, at the first argument that is not an option, at a -journal with
// no path after it, and for -fsync without -journal; stops at -version.
bool parse_command_line(int argc, const char* const* argv, start_options& options);

// True when a stream connection to 127.0.0.1 on the stream port succeeds.
bool probe_running_server();

// Runs the whole start-up and then the event loop; returns only with the
// process's exit status (or exits itself).
int start_server(int argc, const char* const* argv);
