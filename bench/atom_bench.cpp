// atom_bench: closed-loop load on a server on this machine's loopback. C
// connections (UDP sockets or TCP connections) each keep a fixed number of
// requests in flight; a request's reply sends the next one. One epoll loop
// drives them all, so that the tool costs one core and little of it.
//
// It speaks the atom request language (UDP datagrams, or TCP frames of one
// length byte and the text) and, to compare with another daemon, the inline
// protocol of redis-server over TCP. At the end it prints one line:
//
//   <label> <transport> <workload> conns=C depth=D done=N rps=R p50_us=..
//   p99_us=.. p99.9_us=.. lost=L resent=S errors=E
//
// Traffic only ever goes to 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "atoms/protocol.h"

namespace {

enum class transport_kind { udp, tcp };
enum class workload_kind { ping, lookup, miss, associate, load };
enum class protocol_kind { atom, redis };

struct options {
    transport_kind transport = transport_kind::udp;
    workload_kind workload = workload_kind::ping;
    protocol_kind protocol = protocol_kind::atom;
    int port = 0;  // 0: the protocol's own port for the transport
    int connections = 1;
    int depth = 1;
    double seconds = 3.0;
    double warmup_seconds = 0.2;
    std::int64_t keys = 1000;
    int batch = 0;  // associations per load request; 0: chosen for the transport
    std::int64_t first_value = 1000000000;
    double resend_after_ms = 100.0;
    double limit_seconds = 600.0;  // a load that is not done by then gives up
    bool progress = false;
    std::string label = "atom_server";
};

[[noreturn]] void fail_system(const char* what) {
    std::fprintf(stderr, "atom_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(
        stderr,
        "atom_bench: %s\n"
        "usage: atom_bench [--transport udp|tcp] [--workload ping|lookup|miss|associate|load]\n"
        "                  [--protocol atom|redis] [--port N] [--connections C] [--depth D]\n"
        "                  [--seconds S] [--warmup S] [--keys K] [--batch B]\n"
        "                  [--first-value V] [--resend-ms M] [--limit S] [--label TEXT]\n"
        "                  [--progress]\n",
        problem);
    std::exit(2);
}

template <class T>
T parse_number(const char* text, const char* option) {
    T value{};
    const char* end = text + std::strlen(text);
    if (std::from_chars(text, end, value).ptr != end) usage(option);
    return value;
}

double parse_real(const char* text, const char* option) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || value < 0) usage(option);
    return value;
}

options parse_options(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--progress") {
            o.progress = true;
            continue;
        }
        if (i + 1 >= argc) usage("an option lacks its value");
        const char* value = argv[++i];
        const std::string_view v = value;
        if (name == "--transport") {
            if (v == "udp")
                o.transport = transport_kind::udp;
            else if (v == "tcp")
                o.transport = transport_kind::tcp;
            else
                usage("unknown transport");
        } else if (name == "--workload") {
            if (v == "ping")
                o.workload = workload_kind::ping;
            else if (v == "lookup")
                o.workload = workload_kind::lookup;
            else if (v == "miss")
                o.workload = workload_kind::miss;
            else if (v == "associate")
                o.workload = workload_kind::associate;
            else if (v == "load")
                o.workload = workload_kind::load;
            else
                usage("unknown workload");
        } else if (name == "--protocol") {
            if (v == "atom")
                o.protocol = protocol_kind::atom;
            else if (v == "redis")
                o.protocol = protocol_kind::redis;
            else
                usage("unknown protocol");
        } else if (name == "--port") {
            o.port = parse_number<int>(value, "bad --port");
        } else if (name == "--connections") {
            o.connections = parse_number<int>(value, "bad --connections");
        } else if (name == "--depth") {
            o.depth = parse_number<int>(value, "bad --depth");
        } else if (name == "--seconds") {
            o.seconds = parse_real(value, "bad --seconds");
        } else if (name == "--warmup") {
            o.warmup_seconds = parse_real(value, "bad --warmup");
        } else if (name == "--keys") {
            o.keys = parse_number<std::int64_t>(value, "bad --keys");
        } else if (name == "--batch") {
            o.batch = parse_number<int>(value, "bad --batch");
        } else if (name == "--first-value") {
            o.first_value = parse_number<std::int64_t>(value, "bad --first-value");
        } else if (name == "--limit") {
            o.limit_seconds = parse_real(value, "bad --limit");
        } else if (name == "--resend-ms") {
            o.resend_after_ms = parse_real(value, "bad --resend-ms");
        } else if (name == "--label") {
            o.label = value;
        } else {
            usage("unknown option");
        }
    }
    if (o.connections < 1 || o.connections > 1000) usage("--connections must be 1..1000");
    if (o.depth < 1 || o.depth > 64) usage("--depth must be 1..64");
    if (o.keys < 1 || o.keys > 2000000000) usage("--keys must be 1..2000000000");
    if (o.protocol == protocol_kind::redis && o.transport != transport_kind::tcp) {
        usage("the redis protocol runs over tcp only");
    }
    if (o.batch == 0) o.batch = o.transport == transport_kind::udp ? 16 : 128;
    // A load request over UDP is that many datagrams at once: more would
    // overrun the server's receive buffer and be lost.
    if (o.batch < 1 || o.batch > 200) usage("--batch must be 1..200");
    if (o.port == 0) {
        if (o.protocol == protocol_kind::redis)
            o.port = 6379;
        else
            o.port = o.transport == transport_kind::udp ? datagram_port : stream_port;
    }
    return o;
}

std::int64_t now_ns() {
    timespec t{};
    if (::clock_gettime(CLOCK_MONOTONIC, &t) != 0) fail_system("clock_gettime");
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// Latencies in steps of 100 ns up to 100 ms; anything longer lands in the last.
class latency_histogram {
public:
    void add(std::int64_t ns) {
        std::size_t i = static_cast<std::size_t>(std::max<std::int64_t>(ns, 0) / step_ns);
        if (i >= counts_.size()) i = counts_.size() - 1;
        ++counts_[i];
        ++total_;
    }
    std::uint64_t total() const { return total_; }
    double percentile_us(double fraction) const {
        if (total_ == 0) return 0;
        const auto rank =
            static_cast<std::uint64_t>(fraction * static_cast<double>(total_ - 1)) + 1;
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen >= rank) return static_cast<double>((i + 1) * step_ns) / 1000.0;
        }
        return static_cast<double>(counts_.size() * step_ns) / 1000.0;
    }

private:
    static constexpr std::int64_t step_ns = 100;
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(1000000);
    std::uint64_t total_ = 0;
};

struct counters {
    std::uint64_t done = 0;  // requests answered inside the measured interval
    // Requests answered in the whole run, warm-up included: what the server
    // did while the tool ran, for a script that divides the server's CPU
    // time by it.
    std::uint64_t answered = 0;
    std::uint64_t lost = 0;
    std::uint64_t resent = 0;
    std::uint64_t errors = 0;
    std::uint64_t stale = 0;  // UDP replies that came after a resend
};

// What one request in flight is; its bytes and its expected reply are made
// from this, so a lost datagram can be sent again as it was.
struct request {
    std::int64_t key = 0;    // key index, value, or random number, by workload
    std::int32_t count = 1;  // load: how many pairs
    std::int32_t replies_left = 1;
    std::int64_t first_sent_ns = 0;
    std::int64_t last_sent_ns = 0;
};

struct connection {
    int fd = -1;
    bool open = true;
    bool watching_output = false;
    int strays = 0;  // UDP: resends whose first reply may still come
    std::uint64_t random_state = 0;
    std::deque<request> in_flight;
    std::string out;  // TCP bytes not yet written
    std::string in;   // TCP bytes not yet parsed
    std::size_t in_start = 0;
};

std::uint64_t next_random(std::uint64_t& state) {
    // xorshift64*: cheap and good enough to spread keys uniformly.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ULL;
}

void append_number(std::string& s, std::int64_t n) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, n);
    s.append(digits, r.ptr);
}

class load_run {
public:
    explicit load_run(const options& o) : o_(o) {}

    void connect_all();
    // Returns whether every request that was sent was answered as expected.
    bool run();
    void print_line(std::FILE* to, double elapsed_s) const;

private:
    void start_request(connection& c);
    void send_request(connection& c, const request& r);
    void emit(connection& c, const std::string& text);
    void flush(connection& c);
    void on_readable(connection& c);
    void on_reply(connection& c, std::string_view reply);
    bool reply_is_expected(const request& r, std::string_view reply) const;
    bool reply_names_request() const {
        return o_.workload == workload_kind::lookup || o_.workload == workload_kind::associate ||
               o_.workload == workload_kind::load;
    }
    void resend_overdue(std::int64_t now);
    void close_connection(connection& c, const char* why);
    bool wants_more() const;

    const options& o_;
    int epoll_fd_ = -1;
    std::vector<connection> connections_;
    latency_histogram histogram_;
    counters counts_;
    std::int64_t measure_from_ns_ = 0;
    std::int64_t stop_at_ns_ = 0;
    std::int64_t next_load_key_ = 0;
    std::int64_t next_value_ = 0;
    std::int64_t in_flight_total_ = 0;
    int open_connections_ = 0;
    std::string scratch_;
};

void load_run::connect_all() {
    epoll_fd_ = ::epoll_create1(0);
    if (epoll_fd_ < 0) fail_system("epoll_create1");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(o_.port));
    connections_.resize(static_cast<std::size_t>(o_.connections));
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        connection& c = connections_[i];
        const bool udp = o_.transport == transport_kind::udp;
        c.fd = ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        if (c.fd < 0) fail_system("socket");
        // Connecting a datagram socket fixes its peer, so send and recv need
        // no address and replies from anyone else are dropped by the kernel.
        if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            fail_system(udp ? "connect (udp)" : "connect (tcp)");
        }
        if (!udp) {
            const int on = 1;
            if (::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
                fail_system("setsockopt TCP_NODELAY");
            }
        }
        // Non-blocking only after connect, so that connect itself completes.
        if (::fcntl(c.fd, F_SETFL, O_NONBLOCK) != 0) fail_system("fcntl O_NONBLOCK");
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = i;
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c.fd, &e) != 0) fail_system("epoll_ctl");
        c.random_state = 0x9E3779B97F4A7C15ULL * (i + 1);
    }
    open_connections_ = o_.connections;
}

bool load_run::wants_more() const {
    if (o_.workload == workload_kind::load) return next_load_key_ < o_.keys;
    return now_ns() < stop_at_ns_;
}

void load_run::start_request(connection& c) {
    request r;
    switch (o_.workload) {
        case workload_kind::ping:
            break;
        case workload_kind::lookup:
            r.key = static_cast<std::int64_t>(next_random(c.random_state) %
                                              static_cast<std::uint64_t>(o_.keys));
            break;
        case workload_kind::miss:
            r.key = static_cast<std::int64_t>(next_random(c.random_state) >> 1);
            break;
        case workload_kind::associate:
            r.key = o_.first_value + next_value_++;
            if (o_.protocol == protocol_kind::redis) r.replies_left = 2;
            break;
        case workload_kind::load:
            r.key = next_load_key_;
            r.count = static_cast<std::int32_t>(
                std::min<std::int64_t>(o_.batch, o_.keys - next_load_key_));
            next_load_key_ += r.count;
            // The atom server answers only the confirming lookup; redis
            // answers both of a pair's commands.
            r.replies_left = o_.protocol == protocol_kind::redis ? 2 * r.count : 1;
            break;
    }
    r.first_sent_ns = r.last_sent_ns = now_ns();
    c.in_flight.push_back(r);
    ++in_flight_total_;
    send_request(c, r);
}

// One request text: a datagram over UDP, or a frame (or an inline command
// line for redis) appended to what goes out over TCP.
void load_run::emit(connection& c, const std::string& text) {
    if (o_.transport == transport_kind::udp) {
        const ssize_t sent = ::send(c.fd, text.data(), text.size(), 0);
        if (sent < 0) {
            // A full send buffer or a refused port drops the datagram; the
            // resend after the timeout covers it as for any loss.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED)
                fail_system("send");
        }
        return;
    }
    if (o_.protocol == protocol_kind::atom) {
        c.out.push_back(static_cast<char>(static_cast<unsigned char>(text.size())));
        c.out.append(text);
    } else {
        c.out.append(text);
        c.out.append("\r\n");
    }
}

void load_run::send_request(connection& c, const request& r) {
    const bool redis = o_.protocol == protocol_kind::redis;
    std::string& t = scratch_;
    auto key_text = [&](std::string_view prefix, std::int64_t n) {
        t.append(prefix);
        append_number(t, n);
    };
    switch (o_.workload) {
        case workload_kind::ping:
            t.clear();
            t.append(redis ? "PING" : "P");
            emit(c, t);
            break;
        case workload_kind::lookup:
        case workload_kind::miss: {
            t.clear();
            t.append(redis ? "GET " : "S");
            key_text(o_.workload == workload_kind::lookup ? "atom:" : "miss:", r.key);
            emit(c, t);
            break;
        }
        case workload_kind::associate:
            // A new pair, then a lookup of it on the same connection: the
            // lookup's answer confirms the pair was recorded.
            if (redis) {
                t.clear();
                t.append("SETNX ");
                key_text("new:", r.key);
                t.push_back(' ');
                append_number(t, r.key);
                emit(c, t);
                t.clear();
                t.append("GET ");
                key_text("new:", r.key);
            } else {
                t.clear();
                t.append("A");
                append_number(t, r.key);
                t.push_back(' ');
                key_text("new:", r.key);
                emit(c, t);
                t.clear();
                t.append("S");
                key_text("new:", r.key);
            }
            emit(c, t);
            break;
        case workload_kind::load:
            for (std::int64_t k = r.key; k < r.key + r.count; ++k) {
                if (redis) {
                    // The same pair as two keys, one for each direction.
                    t.clear();
                    t.append("SETNX ");
                    key_text("atom:", k);
                    t.push_back(' ');
                    append_number(t, k);
                    emit(c, t);
                    t.clear();
                    t.append("SETNX ");
                    append_number(t, k);
                    t.append(" atom:");
                    append_number(t, k);
                } else {
                    t.clear();
                    t.append("A");
                    append_number(t, k);
                    t.append(" atom:");
                    append_number(t, k);
                }
                emit(c, t);
            }
            if (!redis) {
                t.clear();
                t.append("S");
                key_text("atom:", r.key + r.count - 1);
                emit(c, t);
            }
            break;
    }
    flush(c);
}

void load_run::flush(connection& c) {
    if (!c.open) return;
    while (!c.out.empty()) {
        const ssize_t written = ::write(c.fd, c.out.data(), c.out.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return close_connection(c, "write");
        }
        c.out.erase(0, static_cast<std::size_t>(written));
    }
    // Asking epoll for writability only while bytes wait keeps the common
    // case, where the whole request went out at once, free of extra calls.
    const bool want_output = !c.out.empty();
    if (want_output == c.watching_output) return;
    epoll_event e{};
    e.events = want_output ? EPOLLIN | EPOLLOUT : EPOLLIN;
    e.data.u64 = static_cast<std::uint64_t>(&c - connections_.data());
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &e) != 0) fail_system("epoll_ctl");
    c.watching_output = want_output;
}

void load_run::close_connection(connection& c, const char* why) {
    if (!c.open) return;
    std::fprintf(stderr, "atom_bench: connection %d ended (%s%s%s)\n",
                 static_cast<int>(&c - connections_.data()), why, errno != 0 ? ": " : "",
                 errno != 0 ? std::strerror(errno) : "");
    ++counts_.errors;
    c.open = false;
    --open_connections_;
    in_flight_total_ -= static_cast<std::int64_t>(c.in_flight.size());
    c.in_flight.clear();
    if (::close(c.fd) != 0) fail_system("close");
    c.fd = -1;
}

bool load_run::reply_is_expected(const request& r, std::string_view reply) const {
    const bool redis = o_.protocol == protocol_kind::redis;
    auto number_is = [&](std::string_view text, std::int64_t n) {
        std::int64_t got = 0;
        const auto res = std::from_chars(text.data(), text.data() + text.size(), got);
        return res.ec == std::errc{} && res.ptr == text.data() + text.size() && got == n;
    };
    switch (o_.workload) {
        case workload_kind::ping:
            return reply == (redis ? "+PONG" : "R");
        case workload_kind::lookup:
            return redis ? number_is(reply, r.key)
                         : reply.size() > 1 && reply[0] == 'N' && number_is(reply.substr(1), r.key);
        case workload_kind::miss:
            return redis ? reply == "(nil)" : reply == "N-1";
        case workload_kind::associate:
            return redis ? number_is(reply, r.key)
                         : reply.size() > 1 && reply[0] == 'N' && number_is(reply.substr(1), r.key);
        case workload_kind::load:
            if (redis) return reply == ":1" || reply == ":0";
            return reply.size() > 1 && reply[0] == 'N' &&
                   number_is(reply.substr(1), r.key + r.count - 1);
    }
    return false;
}

void load_run::on_reply(connection& c, std::string_view reply) {
    if (c.in_flight.empty()) {
        ++counts_.errors;  // a reply to nothing: a late one after a resend
        return;
    }
    // A refused association is answered with "E..."; that reply belongs to
    // the association, and the lookup's answer is still to come.
    if (o_.protocol == protocol_kind::atom && !reply.empty() && reply[0] == 'E' &&
        (o_.workload == workload_kind::associate || o_.workload == workload_kind::load)) {
        ++counts_.errors;
        return;
    }
    request& r = c.in_flight.front();
    // Over UDP a reply that was only late, not lost, arrives twice once its
    // request went again; matched in order, the copy would shift every later
    // reply by one. Where the text tells whose reply it is, such a copy is
    // dropped, as long as resends leave copies to expect.
    if (c.strays > 0 && reply_names_request() && !reply_is_expected(r, reply)) {
        ++counts_.stale;
        --c.strays;
        return;
    }
    if (--r.replies_left > 0) {
        if (o_.protocol == protocol_kind::redis && !reply.empty() && reply[0] == '-')
            ++counts_.errors;
        return;
    }
    if (!reply_is_expected(r, reply)) ++counts_.errors;
    const std::int64_t now = now_ns();
    ++counts_.answered;
    if (r.first_sent_ns >= measure_from_ns_) {
        ++counts_.done;
        histogram_.add(now - r.first_sent_ns);
    }
    c.in_flight.pop_front();
    --in_flight_total_;
    if (wants_more()) start_request(c);
}

// One redis reply at the front of text, as "+PONG", ":1", "-ERR ..", the
// bulk string's bytes, or "(nil)". Returns the bytes it takes, 0 if incomplete.
std::size_t parse_redis_reply(std::string_view text, std::string_view& reply) {
    const std::size_t line_end = text.find("\r\n");
    if (line_end == std::string_view::npos) return 0;
    if (text[0] != '$') {
        reply = text.substr(0, line_end);
        return line_end + 2;
    }
    std::int64_t length = 0;
    std::from_chars(text.data() + 1, text.data() + line_end, length);
    if (length < 0) {
        reply = "(nil)";
        return line_end + 2;
    }
    const std::size_t total = line_end + 2 + static_cast<std::size_t>(length) + 2;
    if (text.size() < total) return 0;
    reply = text.substr(line_end + 2, static_cast<std::size_t>(length));
    return total;
}

void load_run::on_readable(connection& c) {
    char buffer[16384];
    for (;;) {
        if (!c.open) return;
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            if (o_.transport == transport_kind::udp && errno == ECONNREFUSED) {
                ++counts_.errors;  // nobody on the port yet; the resend retries
                continue;
            }
            return close_connection(c, "recv");
        }
        if (o_.transport == transport_kind::udp) {
            on_reply(c, std::string_view(buffer, static_cast<std::size_t>(got)));
            continue;
        }
        if (got == 0) {
            errno = 0;
            return close_connection(c, "closed by the server");
        }
        c.in.append(buffer, static_cast<std::size_t>(got));
        for (;;) {
            std::string_view rest(c.in.data() + c.in_start, c.in.size() - c.in_start);
            std::string_view reply;
            std::size_t used = 0;
            if (o_.protocol == protocol_kind::atom) {
                if (rest.empty()) break;
                const std::size_t length = static_cast<unsigned char>(rest[0]);
                if (rest.size() < 1 + length) break;
                reply = rest.substr(1, length);
                used = 1 + length;
            } else {
                used = parse_redis_reply(rest, reply);
                if (used == 0) break;
            }
            c.in_start += used;
            on_reply(c, reply);
            if (!c.open) return;
        }
        c.in.erase(0, c.in_start);
        c.in_start = 0;
    }
}

// Over UDP a request whose reply is overdue counts as lost and goes again,
// moved behind the others so replies keep being matched in order.
void load_run::resend_overdue(std::int64_t now) {
    const auto limit = static_cast<std::int64_t>(o_.resend_after_ms * 1e6);
    for (connection& c : connections_) {
        if (!c.open || c.in_flight.empty()) continue;
        request r = c.in_flight.front();
        if (now - r.last_sent_ns < limit) continue;
        ++counts_.lost;
        ++counts_.resent;
        ++c.strays;
        c.in_flight.pop_front();
        r.last_sent_ns = now;
        c.in_flight.push_back(r);
        send_request(c, r);
    }
}

bool load_run::run() {
    const std::int64_t start = now_ns();
    measure_from_ns_ = o_.workload == workload_kind::load
                           ? start
                           : start + static_cast<std::int64_t>(o_.warmup_seconds * 1e9);
    stop_at_ns_ = measure_from_ns_ + static_cast<std::int64_t>(o_.seconds * 1e9);
    for (connection& c : connections_) {
        for (int i = 0; i < o_.depth && wants_more(); ++i) start_request(c);
    }
    std::vector<epoll_event> events(connections_.size());
    std::int64_t next_check = start;
    std::int64_t next_progress = start + 1000000000;
    std::uint64_t done_at_last_progress = 0;
    const auto give_up_after = static_cast<std::int64_t>(o_.limit_seconds * 1e9);
    while (open_connections_ > 0) {
        const std::int64_t now = now_ns();
        if (o_.workload == workload_kind::load ? in_flight_total_ == 0 && !wants_more()
                                               : now >= stop_at_ns_)
            break;
        // A server that never answers must not hold the tool, nor the
        // script around it, for ever.
        if (now - start >= give_up_after) {
            std::fprintf(stderr, "atom_bench: gave up after %.0f s\n", o_.limit_seconds);
            ++counts_.errors;
            break;
        }
        if (o_.transport == transport_kind::udp && now >= next_check) {
            resend_overdue(now);
            next_check = now + 5000000;
        }
        if (o_.progress && now >= next_progress) {
            std::fprintf(stderr, "\r%s %.0fs: %llu done, %llu/s, errors %llu   ", o_.label.c_str(),
                         static_cast<double>(now - start) / 1e9,
                         static_cast<unsigned long long>(counts_.done),
                         static_cast<unsigned long long>(counts_.done - done_at_last_progress),
                         static_cast<unsigned long long>(counts_.errors));
            done_at_last_progress = counts_.done;
            next_progress += 1000000000;
        }
        const int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), 5);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_system("epoll_wait");
        }
        for (int i = 0; i < n; ++i) {
            connection& c = connections_[events[static_cast<std::size_t>(i)].data.u64];
            if (events[static_cast<std::size_t>(i)].events & EPOLLOUT) flush(c);
            if (events[static_cast<std::size_t>(i)].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                on_readable(c);
        }
    }
    if (o_.progress) std::fprintf(stderr, "\n");
    const std::int64_t end =
        o_.workload == workload_kind::load ? now_ns() : std::min(now_ns(), stop_at_ns_);
    print_line(stdout,
               static_cast<double>(std::max<std::int64_t>(end - measure_from_ns_, 0)) / 1e9);
    return counts_.errors == 0;
}

void load_run::print_line(std::FILE* to, double elapsed_s) const {
    static const char* const workload_names[] = {"ping", "lookup", "miss", "associate", "load"};
    const double rps = elapsed_s > 0 ? static_cast<double>(counts_.done) / elapsed_s : 0;
    std::fprintf(to,
                 "%s %s %s conns=%d depth=%d done=%llu rps=%.0f p50_us=%.1f p99_us=%.1f "
                 "p99.9_us=%.1f lost=%llu resent=%llu stale=%llu errors=%llu seconds=%.2f "
                 "answered=%llu\n",
                 o_.label.c_str(), o_.transport == transport_kind::udp ? "udp" : "tcp",
                 workload_names[static_cast<int>(o_.workload)], o_.connections, o_.depth,
                 static_cast<unsigned long long>(counts_.done), rps, histogram_.percentile_us(0.50),
                 histogram_.percentile_us(0.99), histogram_.percentile_us(0.999),
                 static_cast<unsigned long long>(counts_.lost),
                 static_cast<unsigned long long>(counts_.resent),
                 static_cast<unsigned long long>(counts_.stale),
                 static_cast<unsigned long long>(counts_.errors), elapsed_s,
                 static_cast<unsigned long long>(counts_.answered));
    std::fflush(to);
}

}  // namespace

int main(int argc, char** argv) {
    const options o = parse_options(argc, argv);
    // A server that resets a connection must show up as a failed write, not
    // end the tool.
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) fail_system("signal");
    load_run run(o);
    run.connect_all();
    // Errors leave the line as it is but show in the status, so that a
    // script can tell a load that did not complete.
    return run.run() ? 0 : 1;
}
