// The idle sweep and the order of eviction, with a clock that moves only
// when the test moves it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/stream_clients.h"

namespace {

std::int64_t fake_now = 0;
std::int64_t fake_clock() { return fake_now; }

struct sweep_fixture : testing::Test {
    atom_table atoms;
    server_state s;
    static constexpr std::int64_t start = 1'000'000;

    void SetUp() override {
        init_server_state(s, atoms);
        s.clock = fake_clock;
        fake_now = start;
    }
    void TearDown() override {
        for (int d = 0; d < max_clients; ++d) {
            if (slot_in_use(s, d)) ::close(d);
        }
    }
    // A client whose last data came at `last`; returns the server's end.
    int add_client(std::int64_t connected, std::int64_t last) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ::close(ends[1]);
        record_client(s, ends[0], connected);
        s.slot(ends[0]).last_activity = last;
        return ends[0];
    }
    std::string sweep_at(std::int64_t now) {
        fake_now = now;
        testing::internal::CaptureStdout();
        sweep_idle_clients(s);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(sweep_fixture, first_sweep_only_starts_the_clock) {
    const int ancient = add_client(1, 1);
    EXPECT_EQ(sweep_at(start), "");
    EXPECT_TRUE(slot_in_use(s, ancient));
    EXPECT_EQ(s.last_sweep, start);
}

TEST_F(sweep_fixture, closes_clients_silent_for_more_than_an_hour) {
    sweep_at(start);
    const std::int64_t now = start + 3600;
    // Connected long ago but with recent data: kept, whatever its age.
    const int busy_old = add_client(1, now - 10);
    const int exactly_an_hour = add_client(now - 5000, now - 3600);
    const int one_second_more = add_client(now - 5000, now - 3601);
    EXPECT_EQ(sweep_at(now), "Timeout -> fd " + std::to_string(one_second_more));
    EXPECT_TRUE(slot_in_use(s, busy_old));
    EXPECT_TRUE(slot_in_use(s, exactly_an_hour));
    EXPECT_FALSE(slot_in_use(s, one_second_more));
    EXPECT_FALSE(FD_ISSET(one_second_more, &s.watched_set));
}

TEST_F(sweep_fixture, runs_at_most_once_an_hour) {
    sweep_at(start);
    const int idle = add_client(start, start - 7200);
    EXPECT_EQ(sweep_at(start + 3599), "");  // too soon: nothing looked at
    EXPECT_TRUE(slot_in_use(s, idle));
    EXPECT_EQ(s.last_sweep, start);
    EXPECT_EQ(sweep_at(start + 3600), "Timeout -> fd " + std::to_string(idle));

    const int second = add_client(start, start);
    EXPECT_EQ(sweep_at(start + 7199), "");  // idle over an hour, but swept 3599 s ago
    EXPECT_TRUE(slot_in_use(s, second));
    EXPECT_EQ(sweep_at(start + 7200), "Timeout -> fd " + std::to_string(second));
}

TEST_F(sweep_fixture, messages_of_several_closes_run_together_with_traces_when_verbose) {
    sweep_at(start);
    s.verbose = true;
    const int a = add_client(start, start - 4000);
    const int b = add_client(start, start - 4000);
    const std::string da = std::to_string(a), db = std::to_string(b);
    EXPECT_EQ(sweep_at(start + 3600), "Timeout -> fd " + da + "Closing client " + da +
                                          "\nTimeout -> fd " + db + "Closing client " + db + "\n");
}

}  // namespace
