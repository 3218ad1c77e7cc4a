// Stream clients of the real binary on TCP port 4445: framing, clients that
// misbehave, eviction, descriptors beyond the select set, and leaks.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/support/server_process.h"

namespace {

using clients = std::vector<std::unique_ptr<tcp_client>>;

struct stream_fixture : testing::Test {
    std::unique_ptr<server_process> server;
    int baseline_descriptors = 0;

    void start(launch_options options = {.args = {"-quiet"}}) {
        options.args.push_back("-no_fork");
        server = std::make_unique<server_process>(options);
        ASSERT_TRUE(server->wait_until_serving());
        baseline_descriptors = count_open_descriptors(server->pid());
    }
    void SetUp() override {
        if (!server) start();
    }
    // Bounded wait for the server's descriptor count to come back.
    bool descriptors_back_to_baseline() const {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (count_open_descriptors(server->pid()) != baseline_descriptors) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    static void expect_served(const tcp_client& c) { EXPECT_EQ(c.ask("P"), "R"); }
    static void expect_datagrams_served() { EXPECT_EQ(udp_client().ask("P", 1s), "R"); }
};

TEST_F(stream_fixture, answers_framed_requests) {
    tcp_client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.ask("P"), "R");
    EXPECT_EQ(c.ask("Sfoo"), "N-1");
    // No reply for an empty request or an accepted association; the
    // connection stays usable after each.
    EXPECT_TRUE(c.send_frame(""));
    EXPECT_TRUE(c.send_frame("A7 foo"));
    EXPECT_EQ(c.read_frame(300ms), std::nullopt);
    EXPECT_EQ(c.ask("Sfoo"), "N7");
    EXPECT_EQ(c.ask("N7"), "Sfoo");
    EXPECT_EQ(c.ask("A8 foo"), "E7 foo");
    EXPECT_EQ(udp_client().ask("Sfoo"), "N7");  // one table for both transports
}

TEST_F(stream_fixture, frames_up_to_255_bytes_are_served_whole) {
    tcp_client c;
    const std::string text(252, 'x');
    ASSERT_TRUE(c.send_frame("A1 " + text));  // 255 bytes, the largest frame
    EXPECT_EQ(c.ask("S" + text), "N1");
    EXPECT_EQ(c.ask("N1"), "S" + text.substr(0, 99));
    EXPECT_EQ(c.ask(std::string("S") + '\0' + "junk"), "N-1");  // a zero byte ends the request
}

TEST_F(stream_fixture, frames_sent_back_to_back_are_answered_in_order) {
    tcp_client c;
    constexpr int count = 2000;
    std::string batch;
    for (int i = 0; i < count; ++i) {
        batch += frame("A" + std::to_string(i) + " s" + std::to_string(i));
        batch += frame("Ss" + std::to_string(i));
    }
    ASSERT_TRUE(c.send_raw(batch));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(c.read_frame(), "N" + std::to_string(i)) << i;
    }
}

TEST_F(stream_fixture, a_frame_in_pieces_is_served_once_complete_while_others_are_served) {
    tcp_client slow, other;
    const std::string request = frame("A42 piecemeal") + frame("Spiecemeal");
    ASSERT_TRUE(slow.send_raw(request.substr(0, 1)));  // the length byte alone
    expect_served(other);
    expect_datagrams_served();
    ASSERT_TRUE(slow.send_raw(request.substr(1, 5)));
    expect_served(other);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(slow.send_raw(request.substr(6, 10)));  // ends inside the second frame
    expect_served(other);
    ASSERT_TRUE(slow.send_raw(request.substr(16)));
    EXPECT_EQ(slow.read_frame(), "N42");
}

TEST_F(stream_fixture, connect_and_close_is_quiet) {
    server.reset();
    start({.args = {"-verbose"}});
    const std::size_t before = server->out().size();
    {
        tcp_client c;
        ASSERT_TRUE(c.connected());
    }
    ASSERT_TRUE(server->wait_for_out("Closing client "));
    const std::string out = server->out().substr(before);
    const std::string accepted = "\nAccepting fd ";
    ASSERT_EQ(out.rfind(accepted, 0), 0u) << out;
    const std::string fd = std::to_string(std::atoi(out.c_str() + accepted.size()));
    EXPECT_EQ(out, accepted + fd + "\nClosing client " + fd + "\n");
    EXPECT_EQ(server->err(), "");
}

// A client that pipelines without ever reading fills its socket buffers; it
// is dropped instead of holding up everyone else, and its close does not
// linger.
TEST_F(stream_fixture, a_client_that_never_reads_is_dropped_without_stalling_others) {
    tcp_client flood, other;
    const int fd = flood.fd();
    // Short requests for long replies fill the buffers soon.
    ASSERT_TRUE(other.send_frame("A1 " + std::string(200, 'x')));
    std::string chunk;
    for (int i = 0; i < 4096; ++i) chunk += frame("N1");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool dropped = false;
    for (int round = 0; !dropped && std::chrono::steady_clock::now() < deadline; ++round) {
        const ssize_t sent = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN) dropped = true;
        if (round % 16 == 0) expect_served(other);
        if (server->err().find("write - handle_tcp_data") != std::string::npos) dropped = true;
        if (sent < 0 && errno == EAGAIN) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(server->wait_for_err("write - handle_tcp_data: "));
    expect_served(other);
    expect_datagrams_served();
}

TEST_F(stream_fixture, a_length_byte_then_silence_holds_up_no_one) {
    tcp_client silent, other;
    ASSERT_TRUE(silent.send_raw(std::string(1, '\x40')));  // 64 bytes announced, none sent
    for (int i = 0; i < 5; ++i) expect_served(other);
    expect_datagrams_served();
    tcp_client newcomer;
    expect_served(newcomer);
}

TEST_F(stream_fixture, replies_to_a_reset_connection_do_not_end_the_server) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        tcp_client doomed;
        std::string many;
        for (int i = 0; i < 200; ++i) many += frame("P");
        ASSERT_TRUE(doomed.send_raw(many));
        doomed.close_now();  // replies now meet a reset connection
    }
    {
        tcp_client other;
        expect_served(other);
    }
    EXPECT_EQ(server->wait_exit(100ms), std::nullopt);
    // The writes met the reset: without care each would have raised SIGPIPE.
    EXPECT_NE(server->err().find("write - handle_tcp_data: "), std::string::npos);
    EXPECT_TRUE(descriptors_back_to_baseline());
}

TEST_F(stream_fixture, clients_that_come_and_go_leave_no_descriptors_behind) {
    for (int round = 0; round < 5; ++round) {
        clients many;
        for (int i = 0; i < 40; ++i) many.push_back(std::make_unique<tcp_client>());
        for (auto& c : many) expect_served(*c);
    }
    EXPECT_TRUE(descriptors_back_to_baseline());
}

struct limited_stream_fixture : stream_fixture {
    void SetUp() override {}  // each test starts its server with its own limit
};

// Descriptors: the standard streams, the datagram socket, the listener and
// the spare, then four clients.
TEST_F(limited_stream_fixture, a_failed_accept_evicts_the_client_with_the_oldest_data) {
    start({.args = {"-quiet"}, .max_descriptors = 10});
    clients c;
    for (int i = 0; i < 4; ++i) {
        c.push_back(std::make_unique<tcp_client>());
        expect_served(*c.back());
    }
    // The first connection is the oldest but has the newest data.
    std::this_thread::sleep_for(1100ms);
    expect_served(*c[0]);
    tcp_client newcomer;
    expect_served(newcomer);
    EXPECT_TRUE(c[1]->closed_by_server());
    expect_served(*c[0]);
    expect_served(*c[2]);
    expect_served(*c[3]);
    const std::string out = server->out();
    const std::string evicting = "accept failedClosing oldest -> fd ";
    ASSERT_EQ(out.rfind(evicting, 0), 0u) << out;
    EXPECT_EQ(out.substr(evicting.size()).find_first_not_of("0123456789"), std::string::npos)
        << out;
    c.clear();
    newcomer.close_now();
    EXPECT_TRUE(descriptors_back_to_baseline());
}

TEST_F(limited_stream_fixture, with_no_room_for_any_client_the_server_does_not_spin) {
    start({.args = {"-quiet"}, .max_descriptors = 6});
    const long ticks_before = cpu_ticks(server->pid());
    tcp_client refused;
    ASSERT_TRUE(refused.connected());  // the system completes the handshake
    EXPECT_TRUE(refused.closed_by_server());
    std::this_thread::sleep_for(1s);
    expect_datagrams_served();
    const long ticks_used = cpu_ticks(server->pid()) - ticks_before;
    EXPECT_LT(ticks_used, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks in a second: " << ticks_used;
    EXPECT_EQ(server->out(), "accept failedaccept failed twice");
    EXPECT_EQ(server->err(), "Cannot accept socket connection\n");
    EXPECT_TRUE(descriptors_back_to_baseline());
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Descriptors: the standard streams, the datagram socket and the listener;
// no spare, no client. A queued connection used to make the loop spin,
// writing both failures on every pass, long after the client had gone.
TEST_F(limited_stream_fixture, with_no_room_and_no_spare_the_listener_rests_until_room_is_made) {
    start({.args = {"-quiet"}, .max_descriptors = 5, .descriptor_hard_limit = 8});
    EXPECT_EQ(server->err(), "spare socket: Too many open files\n");
    const long ticks_before = cpu_ticks(server->pid());
    tcp_client waiting;
    ASSERT_TRUE(waiting.connected());  // the system completes the handshake
    ASSERT_TRUE(waiting.send_frame("P"));
    std::this_thread::sleep_for(1s);
    expect_datagrams_served();
    const long ticks_used = cpu_ticks(server->pid()) - ticks_before;
    EXPECT_LT(ticks_used, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks in a second: " << ticks_used;

    // About one attempt a second, each with the messages of a failed accept;
    // why connections are refused is said once.
    const std::string attempt = "accept failedaccept failed twice";
    const std::string out = server->out();
    EXPECT_EQ(out.size() % attempt.size(), 0u) << out;
    EXPECT_EQ(count_of(out, attempt) * attempt.size(), out.size()) << out;
    EXPECT_GE(count_of(out, attempt), 1u);
    EXPECT_LE(count_of(out, attempt), 3u) << out;
    const std::string why =
        "atom_server: new connections are refused while no descriptor is free (accept: Too many "
        "open files)\n";
    const std::string err = server->err();
    EXPECT_EQ(count_of(err, why), 1u) << err;
    EXPECT_EQ(count_of(err, "Cannot accept socket connection\n"), count_of(out, attempt)) << err;

    // Room for the spare and two clients: the queued one is taken within
    // about a second, and the next at once.
    const rlimit more{8, 8};
    ASSERT_EQ(::prlimit(server->pid(), RLIMIT_NOFILE, &more, nullptr), 0);
    EXPECT_EQ(waiting.read_frame(3s), "R");
    tcp_client next;
    expect_served(next);
    expect_served(waiting);
    EXPECT_EQ(count_of(server->err(), why), 1u);
}

// Above 1024 descriptors a new connection would get one that fits neither
// the table nor the select set, and silent clients holding the rest could
// lock everyone out. The server lowers its limit to the set's size, so a
// newcomer evicts the least recently active client instead.
TEST_F(limited_stream_fixture, a_descriptor_limit_beyond_the_select_set_still_evicts) {
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    ASSERT_GE(own.rlim_max, 2100u) << "needs a hard descriptor limit of 2100";
    own.rlim_cur = 2100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    start({.args = {"-quiet"}, .max_descriptors = 1100});

    clients c;
    // Descriptors 6 to 1023 are for clients.
    for (int i = 0; i < 1018; ++i) {
        c.push_back(std::make_unique<tcp_client>());
        ASSERT_TRUE(c.back()->connected()) << i;
    }
    expect_served(*c.back());  // accepted in order: all of them are in
    tcp_client newcomer;
    expect_served(newcomer);
    EXPECT_TRUE(c[0]->closed_by_server());
    expect_served(*c[1]);
    EXPECT_EQ(server->out().rfind("accept failedClosing oldest -> fd ", 0), 0u) << server->out();
    EXPECT_EQ(server->err(), "");
    expect_datagrams_served();
    c.clear();
    newcomer.close_now();
    EXPECT_TRUE(descriptors_back_to_baseline());
}

}  // namespace
