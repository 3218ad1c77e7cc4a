#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/file_bytes.h"

namespace {

using steady = std::chrono::steady_clock;

std::string temp_file(const char* stem) {
    std::string path = std::string("/tmp/") + stem + "_XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return path;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool readable(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
}

std::vector<std::string> server_prefix() {
    std::vector<std::string> words;
    const char* prefix = std::getenv("ATOM_SERVER_PREFIX");
    if (prefix == nullptr) return words;
    std::istringstream in(prefix);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = steady::now() + limit;
    while (!done()) {
        if (steady::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

server_process::server_process(const launch_options& options)
    : out_path_(temp_file("atom_out")), err_path_(temp_file("atom_err")) {
    int undrained[2] = {-1, -1};
    if ((options.out_pipe_undrained || options.err_pipe_undrained) &&
        ::pipe2(undrained, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.pipe_size > 0 && ::fcntl(undrained[0], F_SETPIPE_SZ, options.pipe_size) < 0) {
        throw std::runtime_error("F_SETPIPE_SZ failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int out = ::open(out_path_.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(err_path_.c_str(), O_WRONLY | O_TRUNC);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(120);
        if (options.error_pipe_closed) {
            int ends[2];
            if (::pipe(ends) != 0 || ::dup2(ends[1], 2) < 0) ::_exit(123);
            ::close(ends[0]);
        }
        if ((options.out_pipe_undrained && ::dup2(undrained[1], 1) < 0) ||
            (options.err_pipe_undrained && ::dup2(undrained[1], 2) < 0)) {
            ::_exit(125);
        }
        // The server starts with the standard streams alone, as from a shell.
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        if (options.closed_descriptor >= 0) ::close(options.closed_descriptor);
        // For sanitizer builds: the preloaded object may come before the
        // sanitizer's runtime, and the leak check at exit needs descriptors
        // that a limited server does not have.
        std::string sanitizer_options = "verify_asan_link_order=0";
        if (options.max_descriptors > 0) sanitizer_options += ":detect_leaks=0";
        ::setenv("ASAN_OPTIONS", sanitizer_options.c_str(), 1);
        if (options.max_descriptors > 0) {
            const long hard = options.descriptor_hard_limit > 0 ? options.descriptor_hard_limit
                                                                : options.max_descriptors;
            const rlimit limit{static_cast<rlim_t>(options.max_descriptors),
                               static_cast<rlim_t>(hard)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(121);
        }
        if (options.max_address_space > 0) {
            const rlimit limit{static_cast<rlim_t>(options.max_address_space),
                               static_cast<rlim_t>(options.max_address_space)};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(124);
        }
        if (!options.preload.empty()) ::setenv("LD_PRELOAD", options.preload.c_str(), 1);
        // Unique to this server, even where process ids repeat (every test's
        // own process namespace): a wrapper's log can be named after it.
        ::setenv("ATOM_SERVER_RUN_ID", out_path_.substr(out_path_.rfind('/') + 1).c_str(), 1);
        std::vector<char*> argv;
        // ATOM_SERVER_PREFIX runs the server under another program, such as
        // "valgrind --log-file=/tmp/vg.%p": its words come first, then the
        // server and its arguments.
        std::vector<std::string> prefix = server_prefix();
        for (auto& word : prefix) argv.push_back(word.data());
        std::string program = ATOM_SERVER_PATH;
        argv.push_back(program.data());
        std::vector<std::string> args = options.args;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(122);
    }
    if (undrained[1] >= 0) {
        ::close(undrained[1]);
        pipe_reader_ = undrained[0];
        // Only this end: the server's stays blocking, as a shell's pipe is.
        ::fcntl(pipe_reader_, F_SETFL, O_NONBLOCK);
    }
}

server_process::~server_process() {
    kill_now();
    if (pipe_reader_ >= 0) ::close(pipe_reader_);
    ::unlink(out_path_.c_str());
    ::unlink(err_path_.c_str());
}

void server_process::kill_now() {
    if (pid_ <= 0) return;
    // A wrapper such as valgrind reports only when the process ends by a
    // signal it can see; the server has no handler, so SIGTERM ends it.
    if (!server_prefix().empty()) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
            pid_ = -1;
            return;
        }
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::optional<int> server_process::wait_exit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const bool ended = wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!ended) return std::nullopt;
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

bool server_process::wait_until_serving(std::chrono::milliseconds limit) {
    udp_client probe;
    return wait_until([&] { return probe.ask("P", 50ms) == std::optional<std::string>("R"); },
                      limit);
}

bool server_process::wait_for_out(const std::string& text, std::chrono::milliseconds limit) const {
    return wait_until([&] { return out().find(text) != std::string::npos; }, limit);
}

bool server_process::wait_for_err(const std::string& text, std::chrono::milliseconds limit) const {
    return wait_until([&] { return err().find(text) != std::string::npos; }, limit);
}

std::string server_process::out() const { return read_file(out_path_); }

std::string server_process::drain_pipe() const {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipe_reader_, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::optional<std::string> server_process::wait_for_pipe(const std::string& text,
                                                         std::chrono::milliseconds limit) const {
    std::string read_so_far;
    if (wait_until(
            [&] {
                read_so_far += drain_pipe();
                return read_so_far.find(text) != std::string::npos;
            },
            limit)) {
        return read_so_far;
    }
    return std::nullopt;
}
std::string server_process::err() const { return read_file(err_path_); }

std::optional<pid_t> find_server_pid(pid_t except) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return std::nullopt;
    std::optional<pid_t> found;
    while (dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || pid == except) continue;
        const std::string stat = read_file("/proc/" + std::string(entry->d_name) + "/stat");
        // "pid (comm) state ...": a zombie ('Z') no longer serves.
        // Under valgrind the process's name is that of the tool.
        const bool named =
            stat.find("(atom_server) ") != std::string::npos ||
            (!server_prefix().empty() && stat.find("(memcheck-amd64-) ") != std::string::npos);
        if (named && stat.find(") Z") == std::string::npos) {
            found = pid;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

int count_open_descriptors(pid_t pid) {
    DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (fds == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(fds);
    return count;
}

long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    // After "pid (comm) ", utime and stime are the 12th and 13th fields.
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) utime = std::atol(field.c_str());
        if (i == 13) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

long resident_kib(pid_t pid) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

bool only_loopback_network() {
    struct if_nameindex* interfaces = ::if_nameindex();
    if (interfaces == nullptr) return false;
    bool only_lo = true;
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0) only_lo = false;
    }
    ::if_freenameindex(interfaces);
    return only_lo;
}

udp_client::udp_client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) throw std::runtime_error("udp socket failed");
    const sockaddr_in self = loopback(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        throw std::runtime_error("udp bind failed");
    }
}

udp_client::~udp_client() { ::close(fd_); }

void udp_client::send(const std::string& payload, std::uint16_t to_port) const {
    const sockaddr_in to = loopback(to_port);
    ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
}

std::optional<std::string> udp_client::receive(std::chrono::milliseconds limit) const {
    if (!readable(fd_, limit)) return std::nullopt;
    char buffer[2048];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::optional<std::string> udp_client::ask(const std::string& payload,
                                           std::chrono::milliseconds limit) const {
    send(payload);
    return receive(limit);
}

tcp_client::tcp_client() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    const sockaddr_in to = loopback(stream_port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

tcp_client::~tcp_client() { close_now(); }

void tcp_client::close_now() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool tcp_client::send_raw(const std::string& bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool tcp_client::send_frame(const std::string& body) const { return send_raw(frame(body)); }

std::optional<std::string> tcp_client::read_frame(std::chrono::milliseconds limit) const {
    const auto deadline = steady::now() + limit;
    auto read_exactly = [&](char* into, std::size_t count) {
        std::size_t got = 0;
        while (got < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0 || !readable(fd_, left)) return false;
            const ssize_t n = ::recv(fd_, into + got, count - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    };
    unsigned char length = 0;
    if (!read_exactly(reinterpret_cast<char*>(&length), 1)) return std::nullopt;
    std::string body(length, '\0');
    if (!read_exactly(body.data(), length)) return std::nullopt;
    return body;
}

std::optional<std::string> tcp_client::ask(const std::string& body,
                                           std::chrono::milliseconds limit) const {
    if (!send_frame(body)) return std::nullopt;
    return read_frame(limit);
}

bool tcp_client::closed_by_server(std::chrono::milliseconds limit) const {
    if (!readable(fd_, limit)) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
}

sockaddr_in loopback_address(std::uint16_t port) { return loopback(port); }

std::string frame(const std::string& body) {
    return std::string(1, static_cast<char>(static_cast<unsigned char>(body.size()))) + body;
}

command_result run_command(const std::vector<std::string>& argv, const std::string& input,
                           std::chrono::milliseconds limit) {
    const std::string in_path = temp_file("command_in");
    const std::string out_path = temp_file("command_out");
    const std::string err_path = temp_file("command_err");
    {
        std::ofstream in(in_path, std::ios::binary);
        in << input;
    }
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open(in_path.c_str(), O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_TRUNC);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0) {
            ::_exit(120);
        }
        std::vector<std::string> args = argv;
        std::vector<char*> pointers;
        for (auto& a : args) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        ::execv(pointers[0], pointers.data());
        ::_exit(122);
    }
    command_result result;
    int status = 0;
    if (wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    ::unlink(in_path.c_str());
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return result;
}
