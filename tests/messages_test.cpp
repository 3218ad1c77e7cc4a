// The message writer over a pipe put in place of standard error: what it
// does when the pipe is full, and with a message longer than a pipe takes
// whole.
#include "server/messages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

struct messages_fixture : testing::Test {
    int saved_error = -1;
    int reader = -1;

    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        saved_error = ::dup(STDERR_FILENO);
        ASSERT_GE(saved_error, 0);
        ASSERT_EQ(::dup2(ends[1], STDERR_FILENO), STDERR_FILENO);
        ::close(ends[1]);
        reader = ends[0];
        ASSERT_EQ(::fcntl(reader, F_SETFL, O_NONBLOCK), 0);
    }
    void TearDown() override {
        ::dup2(saved_error, STDERR_FILENO);
        ::close(saved_error);
        ::close(reader);
    }
    std::string drain() const {
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    // Writes lines until one finds no room (and is dropped); returns how many
    // the pipe took.
    int fill() const {
        int taken = 0;
        for (; taken < 100000; ++taken) {
            const int available = pending();
            write_err("line %d\n", taken);
            if (pending() == available) break;
        }
        return taken;
    }
    int pending() const {
        int bytes = 0;
        return ::ioctl(reader, FIONREAD, &bytes) == 0 ? bytes : -1;
    }
};

TEST_F(messages_fixture, messages_that_find_no_room_are_counted_and_reported_once_there_is) {
    const int taken = fill();
    ASSERT_GT(taken, 0);
    write_err("lost\n");
    write_err("lost too\n");
    const std::string held = drain();
    EXPECT_TRUE(held.ends_with("\nline " + std::to_string(taken - 1) + "\n"));
    write_err("after\n");
    write_err("and again\n");
    // The line written when the pipe was found full is lost with the two.
    EXPECT_EQ(drain(),
              "atom_server: 3 messages dropped while standard error was not writable\n"
              "after\nand again\n");

    fill();
    write_err("lost\n");
    drain();
    write_err("after\n");
    EXPECT_EQ(drain(),
              "atom_server: 2 messages dropped while standard error was not writable\nafter\n");
}

TEST_F(messages_fixture, a_message_longer_than_a_pipe_takes_whole_is_cut) {
    const std::string long_text(3 * max_message_length, 'x');
    write_err("%s\n", long_text.c_str());
    EXPECT_EQ(drain(), long_text.substr(0, max_message_length));
}

TEST_F(messages_fixture, a_system_error_reads_as_perror_writes_it_and_keeps_errno) {
    errno = ECONNRESET;
    report_system_error("read");
    EXPECT_EQ(errno, ECONNRESET);
    errno = EINVAL;
    report_system_error("");
    write_err("%s", "no errno change\n");
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(drain(), "read: Connection reset by peer\nInvalid argument\nno errno change\n");
}

}  // namespace
