// The server's messages going nowhere must not end it: a server started with
// its standard error piped to a log reader that has ended, when a client makes
// it report an error.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "tests/support/server_process.h"

namespace {

// Unless the server ignores SIGPIPE, the report of the failed read below
// raises it on the closed pipe and the server dies of it.
TEST(lost_output, a_client_reset_reported_to_a_closed_pipe_does_not_end_the_server) {
    server_process server({.args = {"-quiet", "-no_fork"}, .error_pipe_closed = true});
    ASSERT_TRUE(server.wait_until_serving());
    {
        tcp_client c;
        ASSERT_TRUE(c.connected());
        // A frame not finished yet, then a reset: the server's next read
        // fails with ECONNRESET, which it reports on standard error.
        ASSERT_TRUE(c.send_raw("\x05SAB"));
        std::this_thread::sleep_for(100ms);
        const linger reset{1, 0};
        ASSERT_EQ(::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    }
    EXPECT_EQ(server.wait_exit(500ms), std::nullopt) << "the server ended";
    EXPECT_EQ(udp_client().ask("P"), "R");
}

}  // namespace
