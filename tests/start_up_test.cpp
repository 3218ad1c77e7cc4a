// Start-up of the real binary: options, the probe, the fork, the two sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/server_process.h"

namespace {

const std::string not_found_forking = "\n\tNo Atom server found - Forking server to background\n";
const std::string not_found_running = "\n\tNo Atom server found - Running...\n";

// Holds a port with a socket that is bound but never accepts.
int hold_port(int type, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    return fd;
}

TEST(start_up, unknown_arguments_are_refused) {
    for (const char* bad : {"-bogus", "-Quiet", "-no_fork=1", "verbose", "-no"}) {
        server_process server({.args = {"-no_fork", bad}});
        EXPECT_EQ(server.wait_exit(), 1) << bad;
        EXPECT_EQ(server.err(), "Unknown argument \"" + std::string(bad) + "\"\n");
        EXPECT_EQ(server.out(), "");
    }
}

TEST(start_up, forks_by_default_and_the_child_serves) {
    server_process parent({});
    EXPECT_EQ(parent.wait_exit(), 0);
    EXPECT_EQ(parent.out(), not_found_forking);
    ASSERT_TRUE(parent.wait_until_serving());
    const auto child = find_server_pid();
    ASSERT_TRUE(child.has_value());
    ::kill(*child, SIGKILL);
}

TEST(start_up, quiet_prints_nothing_and_forks) {
    server_process parent({.args = {"-quiet"}});
    EXPECT_EQ(parent.wait_exit(), 0);
    EXPECT_TRUE(parent.wait_until_serving());
    EXPECT_EQ(parent.out(), "");
    EXPECT_EQ(parent.err(), "");
    if (const auto child = find_server_pid()) ::kill(*child, SIGKILL);
}

TEST(start_up, no_fork_serves_in_the_same_process) {
    for (const auto& args :
         {std::vector<std::string>{"-no_fork"}, std::vector<std::string>{"-no_fork", "-no_fork"}}) {
        server_process server({.args = args});
        ASSERT_TRUE(server.wait_until_serving());
        EXPECT_EQ(server.out(), not_found_running);
        EXPECT_EQ(find_server_pid(), server.pid());
        EXPECT_EQ(server.wait_exit(200ms), std::nullopt);  // still running
    }
}

TEST(start_up, last_of_quiet_and_verbose_wins) {
    {
        server_process server({.args = {"-verbose", "-quiet", "-no_fork"}});
        ASSERT_TRUE(server.wait_until_serving());
        EXPECT_EQ(server.out(), "");  // no notices, no traces of the pings
    }
    {
        server_process server({.args = {"-quiet", "-verbose", "-no_fork"}});
        ASSERT_TRUE(server.wait_until_serving());
        EXPECT_TRUE(server.wait_for_out("UDP recd. P\nSending R\n"));
        EXPECT_EQ(server.out().rfind(not_found_running, 0), 0u);
    }
}

TEST(start_up, a_second_server_sees_the_first_and_leaves) {
    server_process first({.args = {"-no_fork", "-verbose"}});
    ASSERT_TRUE(first.wait_until_serving());
    {
        server_process second({.args = {"-no_fork"}});
        EXPECT_EQ(second.wait_exit(), 0);
        EXPECT_EQ(second.out(), "\n\tAtom server already running\n");
    }
    {
        server_process second({.args = {"-quiet"}});
        EXPECT_EQ(second.wait_exit(), 0);
        EXPECT_EQ(second.out(), "");
        EXPECT_EQ(second.err(), "");
    }
    EXPECT_EQ(find_server_pid(first.pid()), std::nullopt);
    EXPECT_TRUE(first.wait_until_serving());
}

TEST(start_up, a_held_datagram_port_fails_with_status_1) {
    const int held = hold_port(SOCK_DGRAM, datagram_port);
    server_process server({.args = {"-no_fork"}});
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_EQ(server.err(), "bind: Address already in use\n");
    ::close(held);
}

TEST(start_up, a_held_stream_port_fails_with_status_255) {
    // Bound but not listening: the probe finds no server, the bind fails.
    const int held = hold_port(SOCK_STREAM, stream_port);
    server_process server({.args = {"-no_fork"}});
    EXPECT_EQ(server.wait_exit(), 255);
    EXPECT_EQ(server.err(), "Cannot bind INET socket\n");
    ::close(held);
}

TEST(start_up, a_failed_fork_is_reported_as_a_failure) {
    server_process server({.args = {}, .preload = FAIL_FORK_PATH});
    EXPECT_EQ(server.wait_exit(), 1);
    EXPECT_EQ(server.out(), not_found_forking);
    EXPECT_EQ(server.err(), "fork: Resource temporarily unavailable\n");
    EXPECT_EQ(find_server_pid(), std::nullopt);
}

TEST(start_up, without_descriptors_for_the_probe_it_goes_on_then_fails_on_the_listener) {
    // Standard streams and the datagram socket take all four.
    server_process server({.args = {"-no_fork"}, .max_descriptors = 4});
    EXPECT_EQ(server.wait_exit(), 255);
    EXPECT_EQ(server.err(),
              "Failed to create socket for ZAV atom server connection.  Not enough File "
              "Descriptors?\nCannot open INET socket -1\n");
    EXPECT_EQ(server.out(), not_found_running);
}

}  // namespace
