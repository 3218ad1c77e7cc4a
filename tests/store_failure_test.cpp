// An association the table cannot store for want of memory leaves the table
// exactly as it was, both maps or neither, and is counted. Allocation
// failures are injected by replacing the global operator new: armed, the
// k-th allocation from then on throws std::bad_alloc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "atoms/atom_table.h"
#include "server/store_reports.h"

namespace {

int allocations_until_failure = 0;  // 0: never fail

}  // namespace

void* operator new(std::size_t bytes) {
    if (allocations_until_failure > 0 && --allocations_until_failure == 0) throw std::bad_alloc();
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}

// The operator new above takes its memory from malloc, so free is its match;
// g++ cannot see that the two belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::string text_of(int i) { return "atom:" + std::to_string(i); }

TEST(store_failure, leaves_the_table_as_it_was_at_every_allocation) {
    atom_table table;
    std::uint64_t failures = 0;
    // Enough atoms to pass several rehashes of both maps and several arena
    // blocks; the k-th allocation within an association fails in turn.
    for (int i = 0; i < 20000; ++i) {
        for (int k = 1; k <= 4; ++k) {
            allocations_until_failure = k;
            const association_result r = table.associate(i, text_of(i));
            const bool failed = allocations_until_failure == 0;
            allocations_until_failure = 0;
            if (r.outcome == association_outcome::accepted) {
                ASSERT_FALSE(failed) << "accepted although an allocation failed, atom " << i;
                break;
            }
            ASSERT_EQ(r.outcome, association_outcome::not_stored) << i;
            ASSERT_TRUE(failed) << "not stored although every allocation succeeded, atom " << i;
            ++failures;
            ASSERT_EQ(table.size(), static_cast<std::size_t>(i));
            ASSERT_EQ(table.string_to_atom(text_of(i)), std::nullopt) << i;
            ASSERT_EQ(table.atom_to_string(i), nullptr) << i;
        }
        ASSERT_EQ(table.string_to_atom(text_of(i)), i);
    }
    EXPECT_GT(failures, 0u);
    EXPECT_EQ(table.unstored.count, failures);
    EXPECT_STREQ(table.unstored.reason, "out of memory");
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(table.string_to_atom(text_of(i)), i);
        ASSERT_EQ(std::string(table.atom_to_string(i)->string), text_of(i));
    }
}

std::int64_t fake_now = 0;
std::int64_t fake_clock() { return fake_now; }

TEST(store_failure, is_reported_at_most_once_a_second_with_the_count) {
    atom_table atoms;
    server_state s;
    init_server_state(s, atoms);
    s.clock = fake_clock;
    fake_now = 1'000'000;
    auto report_at = [&](std::int64_t now, std::uint64_t new_failures) {
        fake_now = now;
        atoms.unstored.count += new_failures;
        atoms.unstored.reason = "out of memory";
        testing::internal::CaptureStderr();
        report_unstored_associations(s);
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(report_at(fake_now, 0), "");
    EXPECT_EQ(report_at(fake_now, 1), "associate: out of memory: 1 association not made\n");
    EXPECT_EQ(report_at(fake_now, 40), "");  // the same second: counted, not written
    EXPECT_EQ(report_at(fake_now + 1, 2), "associate: out of memory: 42 associations not made\n");
    EXPECT_EQ(report_at(fake_now + 5, 0), "");
    EXPECT_EQ(atoms.unstored.count, 0u);
}

}  // namespace
