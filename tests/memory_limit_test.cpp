// The real binary under an address-space limit that the table outgrows: an
// association that cannot be stored is refused quietly to the client, reported
// on standard error at most once a second, and leaves the table one-to-one;
// everything else is served as before.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/server_process.h"

namespace {

// The sanitizers reserve terabytes of address space at start-up, so a server
// built with them cannot run under such a limit at all.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

constexpr long address_space = 96L * 1024 * 1024;
constexpr int batch = 500;
constexpr int most_atoms = 2'000'000;

std::string text_of(int i) { return std::to_string(i) + ":" + std::string(200, 'm'); }

int count_lines_with(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(memory_limit, refuses_what_it_cannot_store_and_serves_on) {
    if (sanitized) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
    server_process server({.args = {"-no_fork", "-quiet"}, .max_address_space = address_space});
    ASSERT_TRUE(server.wait_until_serving());
    tcp_client c;
    ASSERT_TRUE(c.connected());

    // Associations in pipelined batches, each followed by a lookup of its
    // last string, until whole batches are no longer stored.
    const auto started = std::chrono::steady_clock::now();
    int stored = 0;  // atoms 0 .. stored-1 are confirmed
    int failed_batches = 0;
    for (int first = 0; first < most_atoms && failed_batches < 20; first += batch) {
        std::string requests;
        for (int i = first; i < first + batch; ++i) {
            requests += frame("A" + std::to_string(i) + " " + text_of(i));
        }
        requests += frame("S" + text_of(first + batch - 1));
        ASSERT_TRUE(c.send_raw(requests));
        const auto reply = c.read_frame(10s);
        ASSERT_TRUE(reply.has_value()) << "no answer after " << first << " atoms";
        if (*reply == "N" + std::to_string(first + batch - 1)) {
            if (failed_batches == 0) stored = first + batch;
        } else {
            ASSERT_EQ(*reply, "N-1");
            ++failed_batches;
        }
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    ASSERT_EQ(failed_batches, 20) << "the limit was never reached";
    ASSERT_GT(stored, 0);

    // Still serving, over both transports, and what it confirmed is there.
    EXPECT_EQ(c.ask("P"), "R");
    udp_client u;
    EXPECT_EQ(u.ask("P"), "R");
    for (int i = 0; i < stored; i += stored / 50 + 1) {
        EXPECT_EQ(c.ask("S" + text_of(i)), "N" + std::to_string(i));
        EXPECT_EQ(c.ask("N" + std::to_string(i)), "S" + text_of(i).substr(0, max_reply_string));
    }
    // A pair that was not stored is in neither map.
    const int lost = most_atoms;  // never sent, and beyond any stored atom
    ASSERT_TRUE(c.send_frame("A" + std::to_string(lost) + " " + text_of(lost)));
    EXPECT_EQ(c.ask("S" + text_of(lost)), "N-1");
    EXPECT_EQ(c.ask("N" + std::to_string(lost)), "S");
    // Refusals of pairs in force still name them.
    EXPECT_EQ(c.ask("A" + std::to_string(stored + 7) + " " + text_of(0)),
              ("E0 " + text_of(0)).substr(0, max_formatted_reply));

    ASSERT_TRUE(server.wait_for_err("associate: out of memory: "));
    const int reports = count_lines_with(server.err(), "associate: out of memory: ");
    EXPECT_LE(reports, seconds + 2) << server.err();
}

}  // namespace
