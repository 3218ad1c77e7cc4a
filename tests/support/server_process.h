// Runs the real atom_server binary for a test and talks to it over loopback.
// Only for use inside the private network namespace the test runner makes.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "atoms/protocol.h"

using namespace std::chrono_literals;

struct launch_options {
    std::vector<std::string> args;
    long max_descriptors = 0;    // RLIMIT_NOFILE for the server; 0 leaves it
    long max_address_space = 0;  // RLIMIT_AS in bytes; 0 leaves it
    std::string preload;         // a shared object for LD_PRELOAD
    // Standard error is a pipe whose reader has gone, as when the log
    // reader of a server started as "atom_server 2>&1 | logger" has ended.
    bool error_pipe_closed = false;
    // These of the server's output streams go to one pipe that the test holds
    // but reads only in drain_pipe, as a log reader that has stalled would
    // ("atom_server 2>&1 | less" left suspended).
    bool out_pipe_undrained = false;
    bool err_pipe_undrained = false;
    long pipe_size = 0;              // what that pipe holds, in bytes; 0: the default
    int closed_descriptor = -1;      // 0, 1 or 2: closed when the server starts
    long descriptor_hard_limit = 0;  // RLIMIT_NOFILE's hard limit; 0: max_descriptors
};

class server_process {
public:
    explicit server_process(const launch_options& options);
    ~server_process();  // kills the server if it still runs
    server_process(const server_process&) = delete;
    server_process& operator=(const server_process&) = delete;

    // The exit status, or nullopt if the process did not end in time.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 5s);
    // Polls with "P" datagrams until the server answers "R".
    bool wait_until_serving(std::chrono::milliseconds limit = 5s);
    // Waits until standard output (or error) holds text.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds limit = 3s) const;
    bool wait_for_err(const std::string& text, std::chrono::milliseconds limit = 3s) const;
    void kill_now();

    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

    // What the undrained pipe holds now, read without waiting, and the pipe
    // emptied. Text reaches it only from then on.
    std::string drain_pipe() const;
    // Drains the pipe until what this call has read holds text; returns that.
    std::optional<std::string> wait_for_pipe(const std::string& text,
                                             std::chrono::milliseconds limit = 3s) const;

private:
    pid_t pid_ = -1;
    int pipe_reader_ = -1;
    std::string out_path_;
    std::string err_path_;
};

// The pid of a running atom_server other than `except`, found through /proc
// (the test's own process namespace shows only its own processes).
std::optional<pid_t> find_server_pid(pid_t except = -1);
int count_open_descriptors(pid_t pid);
// CPU time (user + system) the process has used, in clock ticks.
long cpu_ticks(pid_t pid);
// Resident memory of the process in KiB (VmRSS), or -1.
long resident_kib(pid_t pid);
// True when the only network interface is loopback, as in tests/in_netns.sh.
bool only_loopback_network();

class udp_client {
public:
    // Bound to an ephemeral port on 127.0.0.1, unless port is given.
    explicit udp_client(std::uint16_t port = 0);
    ~udp_client();
    udp_client(const udp_client&) = delete;
    udp_client& operator=(const udp_client&) = delete;

    void send(const std::string& payload, std::uint16_t to_port = datagram_port) const;
    std::optional<std::string> receive(std::chrono::milliseconds limit = 2s) const;
    std::optional<std::string> ask(const std::string& payload,
                                   std::chrono::milliseconds limit = 2s) const;

private:
    int fd_ = -1;
};

class tcp_client {
public:
    tcp_client();  // connects to 127.0.0.1 on the stream port; check connected()
    ~tcp_client();
    tcp_client(const tcp_client&) = delete;
    tcp_client& operator=(const tcp_client&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send_raw(const std::string& bytes) const;
    bool send_frame(const std::string& body) const;
    // The body of the next reply frame, or nullopt on time-out or close.
    std::optional<std::string> read_frame(std::chrono::milliseconds limit = 2s) const;
    std::optional<std::string> ask(const std::string& body,
                                   std::chrono::milliseconds limit = 2s) const;
    // True when the server closed the connection within the limit.
    bool closed_by_server(std::chrono::milliseconds limit = 2s) const;
    void close_now();

private:
    int fd_ = -1;
};

std::string frame(const std::string& body);

// 127.0.0.1 and port, for tests that make sockets of their own.
sockaddr_in loopback_address(std::uint16_t port);

// A program run to its end: its exit status (128 + signal when killed, -1
// when it had to be killed for running past the limit) and what it wrote.
struct command_result {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs argv[0] with standard input read from input.
command_result run_command(const std::vector<std::string>& argv, const std::string& input = {},
                           std::chrono::milliseconds limit = 60s);
