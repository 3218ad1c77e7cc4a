// Start-up of the real binary: options, the probe, the fork, the two sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

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

std::string descriptor_target(pid_t pid, int d) {
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(d);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

TEST(start_up, version_prints_its_line_and_starts_nothing) {
    const std::string line = std::string("atom_server ") + ATOM_SERVER_VERSION + "\n";
    for (const auto& args : {std::vector<std::string>{"-version"},
                             std::vector<std::string>{"-quiet", "-no_fork", "-version"},
                             std::vector<std::string>{"-version", "-bogus"}}) {
        server_process server({.args = args});
        EXPECT_EQ(server.wait_exit(), 0) << args.back();
        EXPECT_EQ(server.out(), line);
        EXPECT_EQ(server.err(), "");
        EXPECT_EQ(find_server_pid(), std::nullopt);
    }
    server_process refused({.args = {"-bogus", "-version"}});
    EXPECT_EQ(refused.wait_exit(), 1);
    EXPECT_EQ(refused.err(), "Unknown argument \"-bogus\"\n");
}

// A standard descriptor closed at exec used to become the datagram socket:
// the start-up failed, and in fork mode the launcher still said 0.
TEST(start_up, serves_with_a_standard_descriptor_closed) {
    for (const int closed : {0, 1, 2}) {
        for (const bool fork : {true, false}) {
            SCOPED_TRACE("descriptor " + std::to_string(closed) + (fork ? ", fork" : ", -no_fork"));
            std::vector<std::string> args = {"-verbose"};
            if (!fork) args.push_back("-no_fork");
            server_process launcher({.args = args, .closed_descriptor = closed});
            if (fork) {
                EXPECT_EQ(launcher.wait_exit(), 0);
            }
            ASSERT_TRUE(launcher.wait_until_serving());
            {
                // Closed first, so that no connection of the server's is
                // left waiting on the port for the tests after this one.
                tcp_client c;
                EXPECT_EQ(c.ask("P"), "R");
            }
            const auto server = find_server_pid();
            ASSERT_TRUE(server.has_value());
            EXPECT_EQ(descriptor_target(*server, closed), "/dev/null");
            if (closed != 1) {
                EXPECT_TRUE(launcher.wait_for_out("UDP recd. P\n"));
            }
            if (closed != 2) {
                EXPECT_EQ(launcher.err(), "");
            }
            ::kill(*server, SIGKILL);
            launcher.wait_exit();
        }
    }
}

// Closing the terminal that started a background server would otherwise
// end it with SIGHUP.
TEST(start_up, the_background_server_leaves_the_launchers_session) {
    server_process launcher({.args = {"-quiet"}});
    EXPECT_EQ(launcher.wait_exit(), 0);
    ASSERT_TRUE(launcher.wait_until_serving());
    const auto server = find_server_pid();
    ASSERT_TRUE(server.has_value());
    EXPECT_NE(::getsid(*server), ::getsid(0));
    EXPECT_EQ(::getsid(*server), *server);
    ::kill(*server, SIGKILL);

    server_process in_front({.args = {"-quiet", "-no_fork"}});
    ASSERT_TRUE(in_front.wait_until_serving());
    EXPECT_EQ(::getsid(in_front.pid()), ::getsid(0));
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
