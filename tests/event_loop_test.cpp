// Single passes of the loop over local sockets, with the server state built
// by hand: the recovery after a failed select.
#include "server/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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

}  // namespace
