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
// Traffic only ever goes to 127.0.0.1. This file is the loop; the command
// line is bench_options, and each protocol's requests and replies are in
// atom_protocol and redis_protocol.
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "bench/atom_protocol.h"
#include "bench/bench_options.h"
#include "bench/latency_histogram.h"
#include "bench/redis_protocol.h"
#include "bench/workload.h"

namespace {

[[noreturn]] void fail_system(const char* what) {
    std::fprintf(stderr, "atom_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

std::int64_t now_ns() {
    timespec t{};
    if (::clock_gettime(CLOCK_MONOTONIC, &t) != 0) fail_system("clock_gettime");
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

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

class load_run {
public:
    explicit load_run(const options& o) : o_(o) {}

    void connect_all();
    // Returns whether every request that was sent was answered as expected.
    bool run();
    void print_line(std::FILE* to, double elapsed_s) const;

private:
    // Takes the texts of a request from its protocol to one connection.
    struct connection_sink final : text_sink {
        load_run& run;
        connection& c;
        connection_sink(load_run& r, connection& to) : run(r), c(to) {}
        void put(const std::string& text) override { run.emit(c, text); }
    };

    request_shape shape_of(const request& r) const { return {o_.workload, r.key, r.count}; }
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
            break;
        case workload_kind::load:
            r.key = next_load_key_;
            r.count = static_cast<std::int32_t>(
                std::min<std::int64_t>(o_.batch, o_.keys - next_load_key_));
            next_load_key_ += r.count;
            break;
    }
    // The atom server answers only the lookup that ends a request; redis
    // answers every command.
    r.replies_left =
        o_.protocol == protocol_kind::redis ? redis_protocol::replies_to(shape_of(r)) : 1;
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
        atom_protocol::append_frame(c.out, text);
    } else {
        redis_protocol::append_command(c.out, text);
    }
}

void load_run::send_request(connection& c, const request& r) {
    connection_sink out(*this, c);
    if (o_.protocol == protocol_kind::redis) {
        redis_protocol::write_request(shape_of(r), scratch_, out);
    } else {
        atom_protocol::write_request(shape_of(r), scratch_, out);
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
    return o_.protocol == protocol_kind::redis
               ? redis_protocol::is_expected_reply(shape_of(r), reply)
               : atom_protocol::is_expected_reply(shape_of(r), reply);
}

void load_run::on_reply(connection& c, std::string_view reply) {
    if (c.in_flight.empty()) {
        ++counts_.errors;  // a reply to nothing: a late one after a resend
        return;
    }
    // A refused association is answered with "E..."; that reply belongs to
    // the association, and the lookup's answer is still to come.
    if (o_.protocol == protocol_kind::atom && atom_protocol::is_refusal(reply) &&
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
        if (o_.protocol == protocol_kind::redis && redis_protocol::is_error(reply))
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
            const std::size_t used = o_.protocol == protocol_kind::atom
                                         ? atom_protocol::take_frame(rest, reply)
                                         : redis_protocol::take_reply(rest, reply);
            if (used == 0) break;
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
    const double rps = elapsed_s > 0 ? static_cast<double>(counts_.done) / elapsed_s : 0;
    std::fprintf(to,
                 "%s %s %s conns=%d depth=%d done=%llu rps=%.0f p50_us=%.1f p99_us=%.1f "
                 "p99.9_us=%.1f lost=%llu resent=%llu stale=%llu errors=%llu seconds=%.2f "
                 "answered=%llu\n",
                 o_.label.c_str(), std::string(name_of(o_.transport)).c_str(),
                 std::string(name_of(o_.workload)).c_str(), o_.connections, o_.depth,
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
