// Single passes of the loop over local sockets, with the server state built
// by hand: the recovery after a failed select, and the listener's pause when
// no descriptor can be had for a connection.
#include "server/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "server/stream_clients.h"

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A server state with an unbound datagram socket and no listener, and a way
// to add clients that are one end of a socket pair.
struct loop_fixture : testing::Test {
    atom_table atoms;
    server_state s;

    void SetUp() override {
        init_server_state(s, atoms);
        s.datagram_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(s.datagram_socket, 0);
        FD_SET(s.datagram_socket, &s.watched_set);
    }
    void TearDown() override {
        for (int d = 0; d < max_clients; ++d) {
            if (slot_in_use(s, d)) ::close(d);
        }
        if (s.datagram_socket >= 0) ::close(s.datagram_socket);
    }

    // The server's end is recorded as a client; the test keeps the peer.
    struct client_ends {
        int server;
        int peer;
    };
    client_ends add_client() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        record_client(s, ends[0], 1);
        return {ends[0], ends[1]};
    }
};

TEST_F(loop_fixture, recovery_drops_bad_descriptor_and_closes_healthy_clients) {
    // Capturing opens files: before the bad descriptor, so none reuses it.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto [server_a, peer_a] = add_client();
    const auto [server_b, peer_b] = add_client();
    // A client slot whose descriptor was closed behind the loop's back.
    const int bad = ::dup(peer_b);
    ASSERT_EQ(::close(bad), 0);
    record_client(s, bad, 1);

    run_one_pass(s);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_NE(err.find("Select failed, fd " + std::to_string(bad) +
                       "\n is bad.  Removing from select list.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("select failed, errno "), std::string::npos) << err;
    EXPECT_NE(out.find("REmoving bad fd " + std::to_string(bad)), std::string::npos) << out;
    EXPECT_FALSE(FD_ISSET(bad, &s.watched_set));
    EXPECT_FALSE(slot_in_use(s, bad));
    for (int server_end : {server_a, server_b}) {
        EXPECT_FALSE(slot_in_use(s, server_end));
        EXPECT_FALSE(FD_ISSET(server_end, &s.watched_set));
    }
    // The healthy clients were closed: their peers see the end.
    char byte;
    EXPECT_EQ(::read(peer_a, &byte, 1), 0);
    EXPECT_EQ(::read(peer_b, &byte, 1), 0);
    EXPECT_TRUE(is_open(s.datagram_socket));
    EXPECT_TRUE(FD_ISSET(s.datagram_socket, &s.watched_set));
    ::close(peer_a);
    ::close(peer_b);

    // The next pass no longer sees the bad descriptor and times out quietly.
    fd_set again = s.watched_set;
    timeval no_wait{0, 0};
    EXPECT_EQ(::select(FD_SETSIZE, &again, nullptr, nullptr, &no_wait), 0);
}

TEST_F(loop_fixture, recovery_exits_when_only_the_listener_is_watched) {
    FD_ZERO(&s.watched_set);
    s.listener = ::dup(s.datagram_socket);
    ASSERT_EQ(::close(s.listener), 0);
    FD_SET(s.listener, &s.watched_set);
    EXPECT_EXIT(run_one_pass(s), testing::ExitedWithCode(1),
                "Bad file descriptor in select.  Failed to localize.  Exiting.\n");
    s.listener = -1;
}

// Datagrams that wait together are served in one pass, each answered, up to
// the bound; the rest wait for the next pass. A local datagram pair stands
// in for the network: the exchange answers whoever sent.
TEST_F(loop_fixture, waiting_datagrams_are_served_in_one_pass_up_to_the_bound) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, ends), 0);
    FD_CLR(s.datagram_socket, &s.watched_set);
    ::close(s.datagram_socket);
    s.datagram_socket = ends[0];
    FD_SET(s.datagram_socket, &s.watched_set);
    const int peer = ends[1];
    const int roomy = 4 << 20;
    for (const int end : {ends[0], ends[1]}) {
        ASSERT_EQ(::setsockopt(end, SOL_SOCKET, SO_SNDBUF, &roomy, sizeof roomy), 0);
        ASSERT_EQ(::setsockopt(end, SOL_SOCKET, SO_RCVBUF, &roomy, sizeof roomy), 0);
    }
    auto replies = [&] {
        int count = 0;
        char reply[16];
        for (ssize_t n; (n = ::recv(peer, reply, sizeof reply, 0)) > 0; ++count) {
            EXPECT_EQ(std::string(reply, static_cast<std::size_t>(n)), "R");
        }
        return count;
    };

    ASSERT_EQ(::send(peer, "P", 1, 0), 1);
    ASSERT_EQ(::send(peer, "Pagain", 6, 0), 6);
    run_one_pass(s);
    EXPECT_EQ(replies(), 2);

    int sent = 0;
    while (sent < max_datagrams_per_pass + 20 && ::send(peer, "P", 1, 0) == 1) ++sent;
    ASSERT_EQ(sent, max_datagrams_per_pass + 20);
    run_one_pass(s);
    EXPECT_EQ(replies(), max_datagrams_per_pass);
    run_one_pass(s);
    EXPECT_EQ(replies(), 20);
    ::close(peer);
}

std::int64_t fake_now = 0;
std::int64_t fake_clock() { return fake_now; }

// Lowers the descriptor limit to the lowest free descriptor, so that no new
// one can be had, until it goes out of scope.
struct descriptors_exhausted {
    rlimit saved{};
    descriptors_exhausted() {
        EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowest_free = ::dup(0);
        EXPECT_GE(lowest_free, 0);
        ::close(lowest_free);
        const rlimit none_left{static_cast<rlim_t>(lowest_free), saved.rlim_max};
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
    }
    ~descriptors_exhausted() { ::setrlimit(RLIMIT_NOFILE, &saved); }
};

// A listener on an abstract local address (no network at all), with one
// connection queued on it.
struct listener_fixture : loop_fixture {
    int queued = -1;

    void SetUp() override {
        loop_fixture::SetUp();
        s.clock = fake_clock;
        fake_now = 1'000'000;
        s.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(s.listener, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // Only the family: the system picks an unused abstract name.
        ASSERT_EQ(::bind(s.listener, reinterpret_cast<const sockaddr*>(&address),
                         sizeof address.sun_family),
                  0);
        ASSERT_EQ(::listen(s.listener, 8), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        FD_SET(s.listener, &s.watched_set);
        queued = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(queued, reinterpret_cast<const sockaddr*>(&address), length), 0);
    }
    void TearDown() override {
        ::close(queued);
        ::close(s.listener);
        if (s.spare_descriptor >= 0) ::close(s.spare_descriptor);
        loop_fixture::TearDown();
    }
};

TEST_F(listener_fixture, with_no_descriptor_and_no_spare_the_listener_rests_a_second) {
    const std::string why =
        "atom_server: new connections are refused while no descriptor is free (accept: Too many "
        "open files)\n";
    const std::string refused = "Cannot accept socket connection\n";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        const descriptors_exhausted none_left;
        run_one_pass(s);  // the connection finds no descriptor: rest
        EXPECT_FALSE(FD_ISSET(s.listener, &s.watched_set));
        EXPECT_EQ(select_wait_s(s), listener_pause_s);
        resume_listener_when_due(s);  // not yet
        EXPECT_FALSE(FD_ISSET(s.listener, &s.watched_set));

        fake_now += listener_pause_s;
        run_one_pass(s);  // watched again, tried again, rests again
        EXPECT_FALSE(FD_ISSET(s.listener, &s.watched_set));
        EXPECT_EQ(s.spare_descriptor, -1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "accept failedaccept failed twiceaccept failedaccept failed twice");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), refused + why + refused);
    EXPECT_FALSE(slot_in_use(s, queued));

    // A descriptor is free: the pause ends with the spare back, and the
    // connection is taken.
    fake_now += listener_pause_s;
    testing::internal::CaptureStderr();
    run_one_pass(s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GE(s.spare_descriptor, 0);
    EXPECT_TRUE(FD_ISSET(s.listener, &s.watched_set));
    EXPECT_EQ(select_wait_s(s), select_timeout_s);
    int taken = -1;
    for (int d = 0; d < max_clients; ++d) {
        if (slot_in_use(s, d)) taken = d;
    }
    ASSERT_GE(taken, 0);
    EXPECT_FALSE(s.refusing_connections);

    // The next shortage is said again.
    close_client(s, taken);
    ::close(s.spare_descriptor);
    s.spare_descriptor = -1;
    const int next = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::connect(next, reinterpret_cast<const sockaddr*>(&address), length), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        const descriptors_exhausted none_left;
        run_one_pass(s);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), refused + why);
    ::close(next);
}

}  // namespace
