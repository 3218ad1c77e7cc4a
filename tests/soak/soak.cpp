// Soak of the real binary: for SOAK_SECONDS (default 20) several hundred
// stream clients and datagram senders at once make random valid requests,
// while others send garbage datagrams, oversized and truncated frames, length
// bytes followed by silence, never read their replies, reset their
// connections, or connect and close in storms. The server's standard output
// and error go to one small pipe whose reader stalls for stretches, then
// drains it. A well-behaved client pings throughout. At the end every association seen during the
// run must read back the same over UDP and TCP, the server's descriptors must be back to their
// count at the start, and its resident memory may have grown only by what the
// atoms added explain. The server keeps a journal; killed with SIGKILL and
// started again on it, it must still hold every association seen. Prints
// the figures; exits 1 when an invariant broke.
// Runs only inside tests/in_netns.sh. SOAK_RANDOM_START changes the random choices.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "atoms/protocol.h"
#include "tests/support/server_process.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr int valid_stream_clients = 200;
constexpr int valid_datagram_senders = 100;
constexpr int silent_clients = 150;      // held open after a length byte
constexpr int non_reading_clients = 10;  // replaced as the server drops them
constexpr int storm_size = 40;
constexpr std::int32_t long_reply_value = -100000;  // outside the pool, with a long string
constexpr int string_pool = 4000;
constexpr int value_pool = 6000;
constexpr auto reply_limit = 5s;  // a valid client waits this long at most
constexpr auto ping_limit = 5s;   // longer than this counts as frozen
constexpr long memory_slack_kib = 4096;
constexpr long bytes_per_atom = 1024;  // generous: a record, its string, two map nodes

std::atomic<bool> running{true};

// What every client thread counts, for the figures printed at the end.
struct soak_counters {
    std::atomic<long> requests{0};  // sent by valid clients
    std::atomic<long> bad_inputs{0};
    std::atomic<long> datagrams_lost{0};
    std::atomic<long> unread_requests{0};  // sent by clients that never read
    std::atomic<long> unread_dropped{0};   // such clients the server closed
    std::atomic<long> failures{0};         // invariants found broken
};

soak_counters counts;

void fail(const std::string& what) {
    ++counts.failures;
    std::fprintf(stderr, "soak: %s\n", what.c_str());
}

// Every association the clients saw in force, by both sides. A second,
// different sighting means the table changed under them.
struct sightings {
    std::mutex lock;
    std::map<std::string, std::int32_t> by_string;
    std::map<std::int32_t, std::string> by_value;

    void saw(const std::string& text, std::int32_t value) {
        const std::lock_guard<std::mutex> hold(lock);
        auto [s, new_string] = by_string.emplace(text, value);
        auto [v, new_value] = by_value.emplace(value, text);
        if (s->second != value || v->second != text) {
            fail("association changed: \"" + text + "\" " + std::to_string(value) + " after \"" +
                 v->second + "\" " + std::to_string(s->second));
        }
    }
};

sightings seen;

std::string pool_string(std::mt19937& rng) {
    return "k" + std::to_string(std::uniform_int_distribution<int>(0, string_pool - 1)(rng));
}

std::int32_t pool_value(std::mt19937& rng) {
    // Some negative values too, but never -1: it reads back like an unknown string.
    const std::int32_t v =
        std::uniform_int_distribution<std::int32_t>(0, value_pool)(rng) - value_pool / 4;
    return v == -1 ? -2 : v;
}

std::string random_bytes(std::mt19937& rng, std::size_t count) {
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    // Garbage never starts an association, so every atom added is one a
    // valid client asked for and the memory check can account for it.
    if (!bytes.empty() && bytes[0] == 'A') bytes[0] = 'a';
    return bytes;
}

// A stream connection to the server, not blocking; -1 on failure.
int connect_stream() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in to = loopback_address(stream_port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int open_datagram() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in self = loopback_address(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_datagram(int fd, const std::string& payload) {
    const sockaddr_in to = loopback_address(datagram_port);
    (void)::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
}

void close_with_reset(int fd) {
    const linger abort_on_close{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    ::close(fd);
}

// One random exchange of a valid client and what it learns from the reply.
// Each ends with a reply of a known kind, which may follow an "E" reply of an
// association that was refused.
struct exchange {
    std::vector<std::string> requests;
    char final_kind = 0;  // first letter of the reply that ends it
    std::string text;
    std::int32_t value = 0;

    static exchange random(std::mt19937& rng) {
        exchange e;
        e.text = pool_string(rng);
        e.value = pool_value(rng);
        switch (rng() % 4) {
            case 0:  // associate, then read back what is in force
                e.requests = {"A" + std::to_string(e.value) + " " + e.text, "S" + e.text};
                e.final_kind = 'N';
                break;
            case 1:
                e.requests = {"S" + e.text};
                e.final_kind = 'N';
                break;
            case 2:
                e.requests = {"N" + std::to_string(e.value)};
                e.final_kind = 'S';
                break;
            default:
                e.requests = {"P"};
                e.final_kind = 'R';
                break;
        }
        return e;
    }

    static std::optional<std::pair<std::int32_t, std::string>> conflict(const std::string& reply) {
        // "E<value> <string>"; strings here are short, so never cut.
        const std::size_t blank = reply.find(' ');
        if (reply.size() < 2 || reply[0] != 'E' || blank == std::string::npos) return std::nullopt;
        return std::pair{static_cast<std::int32_t>(std::atol(reply.substr(1, blank - 1).c_str())),
                         reply.substr(blank + 1)};
    }

    // Records what a reply shows; true when it ends the exchange.
    bool take(const std::string& reply) {
        if (reply.empty()) {
            fail("empty reply");
            return true;
        }
        if (reply[0] == 'E' && final_kind == 'N' && requests.size() == 2) {
            if (auto c = conflict(reply)) {
                seen.saw(c->second, c->first);
            } else {
                fail("malformed conflict reply \"" + reply + "\"");
            }
            return false;
        }
        if (reply[0] != final_kind) {
            fail("unexpected reply \"" + reply + "\" to \"" + requests.back() + "\"");
            return true;
        }
        if (final_kind == 'N') {
            const long v = std::atol(reply.c_str() + 1);
            if (v != -1) seen.saw(text, static_cast<std::int32_t>(v));
        } else if (final_kind == 'S' && reply.size() > 1) {
            seen.saw(reply.substr(1), value);
        } else if (final_kind == 'R' && reply != "R") {
            fail("bad ping reply \"" + reply + "\"");
        }
        return true;
    }
};

// Drives a group of valid peers, each with one exchange under way at a time:
// opens each and starts its first exchange, then polls them all and lets
// serve read what came; serve returns false when the group must stop.
template <class Peer, class Start, class Serve>
void drive_peers(std::vector<Peer>& peers, int (*open)(), const char* what, Start start,
                 Serve serve) {
    for (auto& p : peers) {
        p.fd = open();
        if (p.fd < 0) {
            fail(what);
            running = false;
            return;
        }
        start(p);
    }
    std::vector<pollfd> polled(peers.size());
    while (running) {
        for (std::size_t i = 0; i < peers.size(); ++i) polled[i] = {peers[i].fd, POLLIN, 0};
        if (::poll(polled.data(), polled.size(), 100) < 0) continue;
        for (std::size_t i = 0; i < peers.size() && running; ++i) {
            if (!serve(peers[i], polled[i].revents)) running = false;
        }
    }
    for (auto& p : peers) ::close(p.fd);
}

struct valid_peer {
    int fd = -1;
    exchange current;
    std::string received;  // stream clients only: reply bytes not yet whole
    steady::time_point since;
};

void run_valid_stream_clients(unsigned random_start) {
    std::mt19937 rng(random_start);
    std::vector<valid_peer> clients(valid_stream_clients);
    auto start = [&](valid_peer& c) {
        c.current = exchange::random(rng);
        std::string bytes;
        for (const auto& r : c.current.requests) bytes += frame(r);
        c.since = steady::now();
        counts.requests += static_cast<long>(c.current.requests.size());
        if (::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            fail("valid stream client could not send");
        }
    };
    auto serve = [&](valid_peer& c, short events) {
        if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[1024];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                fail("the server closed a valid stream client");
                return false;
            }
            c.received.append(buffer, static_cast<std::size_t>(n));
        }
        bool done = false;
        while (!done && !c.received.empty()) {
            const std::size_t length = static_cast<unsigned char>(c.received[0]);
            if (length > max_reply_length) fail("reply frame longer than 100");
            if (c.received.size() < 1 + length) break;
            done = c.current.take(c.received.substr(1, length));
            c.received.erase(0, 1 + length);
        }
        if (done) {
            if (!c.received.empty()) fail("reply frames beyond the exchange");
            c.received.clear();
            start(c);
        } else if (steady::now() - c.since > reply_limit) {
            fail("no reply to \"" + c.current.requests.back() + "\" within the limit");
            c.since = steady::now();
        }
        return true;
    };
    drive_peers(clients, connect_stream, "valid stream client could not connect", start, serve);
}

// As the stream clients, but a datagram may be lost, and then the sender
// moves to a new port so a late reply cannot be taken for the answer to its
// next request.
void run_valid_datagram_senders(unsigned random_start) {
    std::mt19937 rng(random_start);
    std::vector<valid_peer> senders(valid_datagram_senders);
    auto start = [&](valid_peer& d) {
        d.current = exchange::random(rng);
        d.since = steady::now();
        counts.requests += static_cast<long>(d.current.requests.size());
        for (const auto& r : d.current.requests) send_datagram(d.fd, r);
    };
    auto serve = [&](valid_peer& d, short) {
        bool done = false;
        char buffer[2048];
        ssize_t n = 0;
        while (!done && (n = ::recv(d.fd, buffer, sizeof buffer, 0)) >= 0) {
            if (n > static_cast<ssize_t>(max_reply_length)) fail("reply datagram longer than 100");
            done = d.current.take(std::string(buffer, static_cast<std::size_t>(n)));
        }
        if (done) {
            start(d);
        } else if (steady::now() - d.since > 1s) {
            ++counts.datagrams_lost;
            ::close(d.fd);
            d.fd = open_datagram();
            if (d.fd < 0) {
                fail("datagram socket");
                return false;
            }
            start(d);
        }
        return true;
    };
    drive_peers(senders, open_datagram, "datagram socket", start, serve);
}

// The bad clients share one random sequence and the connections that some
// of them hold open until the end.
struct bad_client_state {
    std::mt19937 rng;
    int garbage_socket = -1;
    std::vector<int> silent;
    std::vector<int> non_reading;
};

// Garbage datagrams, some beyond the 99 bytes that count.
void send_garbage_datagrams(bad_client_state& b) {
    for (int i = 0; i < 8; ++i) {
        const std::size_t size = b.rng() % 4 == 0 ? 100 + b.rng() % 1400 : b.rng() % 100;
        send_datagram(b.garbage_socket, random_bytes(b.rng, size));
        ++counts.bad_inputs;
    }
}

// An oversized frame: the largest length byte, with garbage.
void send_oversized_frame(bad_client_state& b) {
    if (int fd = connect_stream(); fd >= 0) {
        const std::string body = random_bytes(b.rng, 255);
        const std::string bytes = frame(body) + frame("P");
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ++counts.bad_inputs;
        ::close(fd);
    }
}

// A truncated frame, then the end of the connection.
void send_truncated_frame(bad_client_state& b) {
    if (int fd = connect_stream(); fd >= 0) {
        const std::size_t length = 2 + b.rng() % 250;
        std::string bytes = frame(random_bytes(b.rng, length));
        bytes.resize(1 + b.rng() % length);
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ++counts.bad_inputs;
        ::close(fd);
    }
}

// A length byte (and perhaps part of the body), then silence until the end.
void fall_silent_in_a_frame(bad_client_state& b) {
    if (b.silent.size() >= silent_clients) return;
    if (int fd = connect_stream(); fd >= 0) {
        std::string bytes = frame(random_bytes(b.rng, 1 + b.rng() % 200));
        bytes.resize(1 + b.rng() % (bytes.size() - 1));
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ++counts.bad_inputs;
        b.silent.push_back(fd);
    }
}

// Clients that ask and never read; the server drops them once their
// buffers are full, and new ones take their place. Short requests for long
// replies fill their buffers soon.
void ask_and_never_read(bad_client_state& b) {
    while (b.non_reading.size() < non_reading_clients) {
        const int fd = connect_stream();
        if (fd < 0) break;
        const int small = 4096;
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ++counts.bad_inputs;
        b.non_reading.push_back(fd);
    }
    const std::string one = frame("N" + std::to_string(long_reply_value));
    std::string pings;
    for (int i = 0; i < 500; ++i) pings += one;
    for (auto it = b.non_reading.begin(); it != b.non_reading.end();) {
        const ssize_t n = ::send(*it, pings.data(), pings.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ::close(*it);  // dropped by the server
            ++counts.unread_dropped;
            it = b.non_reading.erase(it);
            continue;
        }
        if (n > 0) counts.unread_requests += n / static_cast<ssize_t>(one.size());
        ++it;
    }
}

// A client that sends a request and resets the connection.
void send_and_reset(bad_client_state&) {
    if (int fd = connect_stream(); fd >= 0) {
        const std::string bytes = frame("P") + frame("Sk1").substr(0, 2);
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ++counts.bad_inputs;
        close_with_reset(fd);
    }
}

// A storm of connections that close at once, half of them with a reset.
void storm_connections(bad_client_state&) {
    for (int i = 0; i < storm_size; ++i) {
        if (int fd = connect_stream(); fd >= 0) {
            ++counts.bad_inputs;
            if (i % 2 == 0) {
                ::close(fd);
            } else {
                close_with_reset(fd);
            }
        }
    }
}

struct bad_client_kind {
    void (*run)(bad_client_state&);
    long every_rounds;  // 1: in every round
};

// Every kind of bad client, in the order a round runs them.
constexpr bad_client_kind bad_client_kinds[] = {
    {send_garbage_datagrams, 1},  // eight a round
    {send_oversized_frame, 1},    // each of these once a round
    {send_truncated_frame, 1},    // on a connection of its own
    {fall_silent_in_a_frame, 1},  // until silent_clients are held
    {ask_and_never_read, 1},      // non_reading_clients at a time
    {send_and_reset, 1},          // a new connection each round
    {storm_connections, 10},      // storm_size at once, now and then
};

// The association whose long string the clients that never read ask for.
// Over a stream, so that it cannot be lost; "S" confirms it is in force.
void record_long_reply() {
    tcp_client c;
    const std::string text(90, 'x');
    if (!c.send_frame("A" + std::to_string(long_reply_value) + " " + text) ||
        c.ask("N" + std::to_string(long_reply_value)) != "S" + text) {
        fail("the long reply's association did not take");
    }
}

// Rounds of every kind of bad client until the soak ends.
void run_bad_clients(unsigned random_start) {
    bad_client_state b{.rng = std::mt19937(random_start), .garbage_socket = open_datagram()};
    record_long_reply();
    long round = 0;
    while (running) {
        ++round;
        for (const bad_client_kind& kind : bad_client_kinds) {
            if (round % kind.every_rounds == 0) kind.run(b);
        }
        std::this_thread::sleep_for(5ms);
    }
    ::close(b.garbage_socket);
    for (int fd : b.silent) ::close(fd);
    for (int fd : b.non_reading) ::close(fd);
}

struct log_figures {
    int stalls = 0;
    std::size_t bytes_read = 0;
    long drop_lines = 0;
    long messages_dropped = 0;
};

constexpr auto log_stall = 2s;  // a pipe this small fills in well under that
constexpr auto log_drain = 1s;

// The log reader of "atom_server 2>&1 | less", suspended and resumed: it
// reads nothing for a stretch, then all there is for a while. The server
// must serve on meanwhile (the pings see to that) and say what it dropped.
void run_stalled_log_reader(const server_process& server, log_figures& figures) {
    const std::string prefix = "atom_server: ";
    const std::string dropped = " dropped while standard ";
    std::string partial;
    while (running) {
        const auto stall_end = steady::now() + log_stall;
        while (running && steady::now() < stall_end) std::this_thread::sleep_for(50ms);
        ++figures.stalls;
        const auto drain_end = steady::now() + log_drain;
        while (steady::now() < drain_end) {
            partial += server.drain_pipe();
            for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
                const std::string line = partial.substr(0, end);
                figures.bytes_read += end + 1;
                partial.erase(0, end + 1);
                // The report can follow text without a line end on the line.
                const std::size_t at = line.find(prefix);
                if (at != std::string::npos && line.find(dropped, at) != std::string::npos) {
                    ++figures.drop_lines;
                    figures.messages_dropped += std::atol(line.c_str() + at + prefix.size());
                }
            }
            if (!running) break;
            std::this_thread::sleep_for(10ms);
        }
    }
}

struct ping_figures {
    steady::duration worst_stream{};
    steady::duration worst_datagram{};
    long pings = 0;
};

// A well-behaved client on each transport pings throughout.
void run_pings(ping_figures& figures) {
    tcp_client stream;
    udp_client datagram;
    if (!stream.connected()) {
        fail("ping client could not connect");
        return;
    }
    while (running) {
        auto begin = steady::now();
        if (stream.ask("P", ping_limit) != std::optional<std::string>("R")) {
            fail("no stream ping answer within the limit");
            running = false;
            return;
        }
        figures.worst_stream = std::max(figures.worst_stream, steady::now() - begin);
        // A datagram may be dropped when the server's socket buffer is full of
        // garbage: a lost one is asked again, and the wait counts from the first.
        begin = steady::now();
        bool answered = false;
        for (int attempt = 0; attempt < 25 && !answered; ++attempt) {
            answered = datagram.ask("P", 200ms) == std::optional<std::string>("R");
        }
        if (!answered) {
            fail("no datagram ping answer within the limit");
            running = false;
            return;
        }
        figures.worst_datagram = std::max(figures.worst_datagram, steady::now() - begin);
        figures.pings += 2;
        std::this_thread::sleep_for(20ms);
    }
}

std::optional<std::string> ask_datagram(const udp_client& c, const std::string& request) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (auto reply = c.ask(request, 1s)) return reply;
    }
    return std::nullopt;
}

// Every association seen must read back the same both ways on both transports.
long check_every_sighting() {
    tcp_client stream;
    udp_client datagram;
    long checked = 0;
    if (!stream.connected()) {
        fail("check client could not connect");
        return 0;
    }
    for (const auto& [text, value] : seen.by_string) {
        const std::string by_string = "N" + std::to_string(value);
        const std::string by_value = "S" + text;
        const std::string s_request = "S" + text;
        const std::string n_request = "N" + std::to_string(value);
        if (stream.ask(s_request) != by_string || stream.ask(n_request) != by_value ||
            ask_datagram(datagram, s_request) != by_string ||
            ask_datagram(datagram, n_request) != by_value) {
            fail("association \"" + text + "\" " + std::to_string(value) + " does not read back");
        }
        ++checked;
    }
    return checked;
}

double ms(steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
    if (!only_loopback_network()) {
        std::fprintf(stderr, "the soak runs only inside tests/in_netns.sh\n");
        return 2;
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;  // hundreds of sockets at once
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::perror("setrlimit");
    }
    const char* seconds_text = std::getenv("SOAK_SECONDS");
    const long seconds = seconds_text != nullptr ? std::atol(seconds_text) : 20;
    const char* random_start_text = std::getenv("SOAK_RANDOM_START");
    const unsigned random_start =
        random_start_text != nullptr ? static_cast<unsigned>(std::atol(random_start_text)) : 1;

    // An empty file is a new journal.
    std::string journal_path = "/tmp/soak_journal_XXXXXX";
    const int journal_fd = ::mkstemp(journal_path.data());
    if (journal_fd < 0 || ::close(journal_fd) != 0) {
        std::perror("soak: mkstemp");
        return 1;
    }
    // A pipe of one page, so that the messages of the bad clients fill it
    // soon after each stall begins.
    server_process server({.args = {"-quiet", "-no_fork", "-journal", journal_path},
                           .out_pipe_undrained = true,
                           .err_pipe_undrained = true,
                           .pipe_size = 4096});
    if (!server.wait_until_serving()) {
        std::fprintf(stderr, "soak: the server did not start\n");
        return 1;
    }
    const int descriptors_before = count_open_descriptors(server.pid());
    const long memory_before = resident_kib(server.pid());

    ping_figures pings;
    std::vector<std::thread> threads;
    threads.emplace_back(run_pings, std::ref(pings));
    threads.emplace_back(run_valid_stream_clients, random_start);
    threads.emplace_back(run_valid_datagram_senders, random_start + 1);
    threads.emplace_back(run_bad_clients, random_start + 2);
    log_figures log;
    threads.emplace_back(run_stalled_log_reader, std::cref(server), std::ref(log));
    const auto deadline = steady::now() + std::chrono::seconds(seconds);
    while (running && steady::now() < deadline) std::this_thread::sleep_for(100ms);
    const int descriptors_at_peak = count_open_descriptors(server.pid());
    running = false;
    for (auto& t : threads) t.join();

    const long checked = check_every_sighting();
    // The server learns of the last closes on its next passes.
    int descriptors_after = count_open_descriptors(server.pid());
    for (int i = 0; i < 500 && descriptors_after != descriptors_before; ++i) {
        std::this_thread::sleep_for(10ms);
        descriptors_after = count_open_descriptors(server.pid());
    }
    if (descriptors_after != descriptors_before) fail("the server's descriptors did not come back");
    const long memory_after = resident_kib(server.pid());
    const long memory_allowed = memory_slack_kib + checked * bytes_per_atom / 1024;
    if (memory_after - memory_before > memory_allowed)
        fail("resident memory grew beyond the atoms added");
    if (!server.wait_until_serving(1s)) fail("the server stopped serving");
    if (log.stalls > 1 && log.drop_lines == 0) fail("no drops reported after the log stalled");

    // Whatever a reply revealed was in the journal before the reply left.
    server.kill_now();
    long replayed = 0;
    {
        server_process restarted({.args = {"-quiet", "-no_fork", "-journal", journal_path}});
        if (restarted.wait_until_serving()) {
            replayed = check_every_sighting();
        } else {
            fail("the server did not start again on its journal: " + restarted.err());
        }
    }
    ::unlink(journal_path.c_str());

    std::printf("soak: %ld s, %ld valid requests, %ld bad inputs, %ld datagram exchanges lost\n",
                seconds, counts.requests.load(), counts.bad_inputs.load(),
                counts.datagrams_lost.load());
    std::printf(
        "soak: %ld requests from clients that never read their replies; %ld of them dropped\n",
        counts.unread_requests.load(), counts.unread_dropped.load());
    std::printf("soak: %ld pings, worst answer %.1f ms over TCP, %.1f ms over UDP\n", pings.pings,
                ms(pings.worst_stream), ms(pings.worst_datagram));
    std::printf(
        "soak: log pipe stalled %d times; %zu bytes read, %ld drop reports of %ld "
        "messages\n",
        log.stalls, log.bytes_read, log.drop_lines, log.messages_dropped);
    std::printf("soak: %ld associations read back over UDP and TCP\n", checked);
    std::printf("soak: %ld of them read back after kill -9 and a restart on the journal\n",
                replayed);
    std::printf("soak: server descriptors %d before, %d at the end of the load, %d after\n",
                descriptors_before, descriptors_at_peak, descriptors_after);
    std::printf(
        "soak: server resident memory %ld KiB before, %ld KiB after (%ld KiB allowed growth)\n",
        memory_before, memory_after, memory_allowed);
    if (counts.failures > 0) {
        std::printf("soak: FAILED, %ld invariant(s) broken\n", counts.failures.load());
        return 1;
    }
    std::printf("soak: every invariant held\n");
    return 0;
}
