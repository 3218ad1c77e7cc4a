// The server's messages going nowhere, or to a reader that has stopped
// reading, must not stop it: a server started with its standard error piped
// to a log reader that has ended, and with its output on a pipe that nobody
// drains while clients make it write as fast as they like.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/support/server_process.h"

namespace {

void reset_on_close(const tcp_client& c) {
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
}

// A connection that the server sees reset in the middle of a frame: its next
// read fails with ECONNRESET, which it reports on standard error.
void reset_mid_frame() {
    tcp_client c;
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.send_raw("\x05SAB"));
    reset_on_close(c);
}

std::size_t count_of(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++count;
    }
    return count;
}

// The count in the one line that reports drops on the stream, which text
// must hold; -1 when it does not.
long dropped_count(const std::string& text, const std::string& stream) {
    const std::string prefix = "atom_server: ";
    const std::string rest = " messages dropped while " + stream + " was not writable\n";
    const std::size_t end = text.find(rest);
    EXPECT_NE(end, std::string::npos) << text;
    if (end == std::string::npos) return -1;
    EXPECT_EQ(text.find(rest, end + 1), std::string::npos) << "reported once";
    const std::size_t start = text.rfind(prefix, end);
    EXPECT_NE(start, std::string::npos);
    EXPECT_TRUE(start == 0 || text[start - 1] == '\n') << "a line of its own";
    return std::stol(text.substr(start + prefix.size(), end - start - prefix.size()));
}

std::size_t dropped_line_length(const std::string& text) {
    const std::size_t start = text.find("atom_server: ");
    return start == std::string::npos ? 0 : text.find('\n', start) + 1 - start;
}

void expect_served_over_both_transports() {
    EXPECT_EQ(udp_client().ask("P"), "R");
    tcp_client c;
    EXPECT_EQ(c.ask("P"), "R");
}

// Unless the server ignores SIGPIPE, the report of the failed read below
// raises it on the closed pipe and the server dies of it.
TEST(lost_output, a_client_reset_reported_to_a_closed_pipe_does_not_end_the_server) {
    server_process server({.args = {"-quiet", "-no_fork"}, .error_pipe_closed = true});
    ASSERT_TRUE(server.wait_until_serving());
    {
        tcp_client c;
        ASSERT_TRUE(c.connected());
        ASSERT_TRUE(c.send_raw("\x05SAB"));
        std::this_thread::sleep_for(100ms);
        reset_on_close(c);
    }
    EXPECT_EQ(server.wait_exit(500ms), std::nullopt) << "the server ended";
    EXPECT_EQ(udp_client().ask("P"), "R");
}

// A pipe holds 64 KiB: about 2,200 of these reports fill it, after which a
// blocking write would hold the one thread for as long as nobody reads.
TEST(lost_output, resets_reported_to_an_undrained_pipe_do_not_stop_the_server) {
    server_process server({.args = {"-quiet", "-no_fork"}, .err_pipe_undrained = true});
    ASSERT_TRUE(server.wait_until_serving());
    constexpr int resets = 4000;
    const udp_client pacer;
    for (int i = 0; i < resets; ++i) {
        reset_mid_frame();
        // Lets the server keep up, so connections never wait for the queue.
        if (i % 100 == 99) {
            ASSERT_EQ(pacer.ask("P"), "R") << "after " << i + 1 << " resets";
        }
    }
    expect_served_over_both_transports();

    // Reports of the last resets may still come while the pipe is drained,
    // and the line about the drops comes with the first of them that finds
    // room; the reset after the drain writes at least one more.
    const std::string report = "read: Connection reset by peer\n";
    std::string held = server.drain_pipe();
    reset_mid_frame();
    const auto after = server.wait_for_pipe(report);
    ASSERT_TRUE(after.has_value());
    held += *after;
    const long dropped = dropped_count(held, "standard error");
    EXPECT_EQ(count_of(held, report) * report.size() + dropped_line_length(held), held.size())
        << "whole messages only";
    EXPECT_TRUE(held.ends_with(report));
    // Every reset is either in the pipe or counted.
    EXPECT_EQ(static_cast<long>(count_of(held, report)) + dropped, resets + 1);
}

// With -verbose every request writes two traces, the table's through the
// same writer as the loop's.
TEST(lost_output, traces_to_an_undrained_pipe_do_not_stop_the_server) {
    server_process server({.args = {"-verbose", "-no_fork"}, .out_pipe_undrained = true});
    ASSERT_TRUE(server.wait_until_serving());
    constexpr int requests = 6000;
    tcp_client c;
    ASSERT_TRUE(c.connected());
    std::string batch;
    for (int i = 0; i < requests; ++i) batch += frame("P");
    ASSERT_TRUE(c.send_raw(batch));
    for (int i = 0; i < requests; ++i) ASSERT_EQ(c.read_frame(), "R") << "request " << i;
    expect_served_over_both_transports();

    std::string held = server.drain_pipe();
    EXPECT_NE(held.find("TCP recd. P\nSending R\n"), std::string::npos);
    EXPECT_EQ(udp_client().ask("P"), "R");
    const auto after = server.wait_for_pipe("UDP recd. P\nSending R\n");
    ASSERT_TRUE(after.has_value());
    held += *after;
    EXPECT_GT(dropped_count(held, "standard output"), 0);
}

}  // namespace
