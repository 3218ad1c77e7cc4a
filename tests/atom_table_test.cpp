// The request language through handle_request: no sockets needed.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "atoms/request_handler.h"
#include "atoms/table_memory.h"

namespace {

std::string ask(atom_table& table, const std::string& request) {
    char reply[reply_buffer_size] = {};
    handle_request(table, request.c_str(), reply);
    return reply;
}

struct exchange_case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> exchanges;  // request, expected reply
};

const std::string long_string(120, 'q');

class request_language : public testing::TestWithParam<exchange_case> {};

TEST_P(request_language, answers_each_request_in_turn) {
    atom_table table;
    for (const auto& [request, expected] : GetParam().exchanges) {
        EXPECT_EQ(ask(table, request), expected) << "request: " << request;
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, request_language,
    testing::Values(
        exchange_case{"empty_string", {{"S", "N-1"}, {"A5 ", ""}, {"S", "N5"}, {"N5", "S"}}},
        exchange_case{"minus_one_reads_like_absent",
                      {{"A-1 neg", ""}, {"Sneg", "N-1"}, {"Sabsent", "N-1"}, {"N-1", "Sneg"}}},
        exchange_case{"repeat_is_accepted_quietly",
                      {{"A7 foo", ""}, {"A7 foo", ""}, {"Sfoo", "N7"}}},
        exchange_case{"conflicts_report_the_pair_in_force",
                      {{"A7 foo", ""},
                       {"A8 foo", "E7 foo"},
                       {"A7 bar", "E7 foo"},
                       {"Sbar", "N-1"},
                       {"N8", "S"}}},
        exchange_case{"blank_before_number_skipped", {{"A 7 foo", ""}, {"Sfoo", "N7"}}},
        exchange_case{"second_blank_kept", {{"A7  foo", ""}, {"S foo", "N7"}, {"Sfoo", "N-1"}}},
        exchange_case{"no_digits_means_zero", {{"Afoo", ""}, {"Soo", "N0"}, {"N0", "Soo"}}},
        exchange_case{"byte_after_number_skipped", {{"A7foo", ""}, {"Soo", "N7"}}},
        exchange_case{"low_32_bits_kept", {{"A4294967297 x", ""}, {"Sx", "N1"}, {"N1", "Sx"}}},
        exchange_case{"negative_values", {{"A-3 x", ""}, {"N-3", "Sx"}, {"Sx", "N-3"}}},
        exchange_case{"number_then_junk",
                      {{"A12 t", ""}, {"N12abc", "St"}, {"N 12", "St"}, {"Nxyz", ""}, {"N", ""}}},
        exchange_case{"long_strings_cut_to_99",
                      {{"A9 " + long_string, ""},
                       {"N9", "S" + long_string.substr(0, 99)},
                       {"S" + long_string, "N9"},
                       {"A10 " + long_string, ("E9 " + long_string).substr(0, 99)}}},
        exchange_case{"ping_and_unknown_letters",
                      {{"P", "R"}, {"Pxyz", "R"}, {"p", ""}, {"sfoo", ""}, {"", ""}, {"X1", ""}}},
        exchange_case{
            "any_byte_but_zero",
            {{"A3 a b\t\x01\xfe\n", ""}, {"Sa b\t\x01\xfe\n", "N3"}, {"N3", "Sa b\t\x01\xfe\n"}}},
        // The string would start past the terminator: nothing is associated.
        exchange_case{"number_ending_the_request_is_ignored",
                      {{"A7", ""}, {"N7", "S"}, {"A", ""}, {"N0", "S"}, {"A-", ""}, {"N0", "S"}}}),
    [](const testing::TestParamInfo<exchange_case>& p) { return p.param.name; });

std::string traces_of(const std::vector<std::string>& requests) {
    atom_table table;
    table.verbose = true;
    testing::internal::CaptureStdout();
    for (const auto& r : requests) ask(table, r);
    return testing::internal::GetCapturedStdout();
}

TEST(request_traces, are_written_only_when_verbose) {
    atom_table table;
    testing::internal::CaptureStdout();
    ask(table, "A7 foo");
    ask(table, "A8 foo");
    ask(table, "Sfoo");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(request_traces, follow_each_operation) {
    EXPECT_EQ(traces_of({"Sfoo"}), "Doing a string_to_atom\nSending N-1\n");
    EXPECT_EQ(traces_of({"A7 foo", "N7", "Nx"}), "Doing a atom_to_string\nSending Sfoo\n");
    EXPECT_EQ(traces_of({"P"}), "Sending R\n");
    EXPECT_EQ(traces_of({"A7 foo", "A8 foo"}),
              "Atom cache inconsistency, tried to associate string \"foo\" with value 8\n"
              "\tPrevious association was value 7\n"
              "Sending E7 foo\n");
    EXPECT_EQ(traces_of({"A7 foo", "A7 bar"}),
              "Atom cache inconsistency, tried to associate value 7 with string \"bar\"\n"
              "\tPrevious association was string \"foo\"\n"
              "Sending E7 foo\n");
}

TEST(atom_table, stays_one_to_one_over_many_associations) {
    atom_table table;
    constexpr int count = 50000;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(table.associate(i, "atom:" + std::to_string(i)).outcome,
                  association_outcome::accepted);
    }
    for (int i = 0; i < count; ++i) {
        const std::string text = "atom:" + std::to_string(i);
        ASSERT_EQ(table.string_to_atom(text), i);
        const auto* r = table.atom_to_string(i);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(std::string(r->string), text);
        // Every value and every string is taken: any new pairing is refused.
        ASSERT_EQ(table.associate(i, "other").outcome, association_outcome::refused);
        ASSERT_EQ(table.associate(count + i, text).outcome, association_outcome::refused);
    }
    EXPECT_EQ(table.size(), static_cast<std::size_t>(count));
}

// Clients choose what goes into the table. Keys chosen to share one bucket
// of an unkeyed hash (multiples of the bucket count for values, strings whose
// standard hash is such a multiple) must still spread out, or every
// association and lookup among them walks them all.
std::size_t final_bucket_count(std::size_t atoms, bool of_values) {
    atom_table table;
    for (std::size_t i = 0; i < atoms; ++i) {
        table.associate(static_cast<std::int32_t>(i), "atom:" + std::to_string(i));
    }
    return of_values ? table.shape().value_buckets : table.shape().string_buckets;
}

TEST(atom_table, spreads_keys_chosen_to_share_a_bucket) {
    constexpr std::size_t atoms = 20000;
    constexpr std::size_t crowded = 16;  // far beyond what chance gives at load factor 1
    const std::size_t value_buckets = final_bucket_count(atoms, true);
    atom_table by_value;
    for (std::size_t i = 0; i < atoms; ++i) {
        const auto value = static_cast<std::int32_t>((i + 1) * value_buckets);
        ASSERT_EQ(by_value.associate(value, "v" + std::to_string(i)).outcome,
                  association_outcome::accepted);
    }
    EXPECT_EQ(by_value.shape().value_buckets, value_buckets);
    EXPECT_LT(by_value.shape().longest_value_bucket, crowded);

    constexpr std::size_t strings = 2000;
    const std::size_t string_buckets = final_bucket_count(strings, false);
    atom_table by_string;
    std::size_t made = 0;
    for (std::uint64_t n = 0; made < strings && n < 100 * strings * string_buckets; ++n) {
        const std::string text = "s" + std::to_string(n);
        const auto unkeyed = static_cast<std::uint32_t>(std::hash<std::string>{}(text));
        if (unkeyed % string_buckets != 0) continue;
        ASSERT_EQ(by_string.associate(static_cast<std::int32_t>(made++), text).outcome,
                  association_outcome::accepted);
    }
    ASSERT_EQ(made, strings);
    EXPECT_EQ(by_string.shape().string_buckets, string_buckets);
    EXPECT_LT(by_string.shape().longest_string_bucket, crowded);
}

// A journal that cannot be written refuses every new pair, perhaps for hours:
// the records made for them must not pile up in the arena.
TEST(record_arena, gives_back_the_record_made_last) {
    record_arena arena;
    const std::string text(200, 'x');
    const _send_get_atom_msg* first = arena.make(1, text, 0);
    arena.unmake_last(first);
    // Far more than a block holds, so a record that was not given back
    // would move the next one into a later block.
    for (int i = 0; i < 100000; ++i) arena.unmake_last(arena.make(i, text, 0));
    const _send_get_atom_msg* again = arena.make(2, "kept", 0);
    EXPECT_EQ(again, first);
    EXPECT_STREQ(again->string, "kept");
    EXPECT_EQ(again->value, 2);
}

TEST(atom_table, a_pair_its_keeper_refuses_is_not_made) {
    atom_table table;
    bool keep = false;
    table.keeper = [&](std::int32_t, std::string_view) -> const char* {
        return keep ? nullptr : "journal: No space left on device";
    };
    EXPECT_EQ(table.associate(5, "five").outcome, association_outcome::not_stored);
    EXPECT_FALSE(table.string_to_atom("five").has_value());
    EXPECT_EQ(table.atom_to_string(5), nullptr);
    EXPECT_EQ(table.unstored.count, 1u);
    keep = true;
    EXPECT_EQ(table.associate(5, "five").outcome, association_outcome::accepted);
    ASSERT_NE(table.atom_to_string(5), nullptr);
    EXPECT_STREQ(table.atom_to_string(5)->string, "five");
}

}  // namespace
