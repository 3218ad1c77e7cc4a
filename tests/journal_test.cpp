// The journal's bytes (atoms/journal_format) and the journal file's replay,
// cutting and refusals (server/journal) in process, on files under /tmp.
#include "server/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "atoms/journal_format.h"
#include "tests/support/file_bytes.h"

namespace {

using journal::stop_kind;

std::string journal_of(const std::vector<std::pair<std::int32_t, std::string>>& pairs) {
    std::string bytes = journal::encode_header();
    for (const auto& [value, text] : pairs) journal::append_record(bytes, value, text);
    return bytes;
}

const std::vector<std::pair<std::int32_t, std::string>> three = {
    {1, "one"}, {-7, std::string("tab\there\nnew\\line")}, {2147483647, ""}};

journal::scan_result scan(const std::string& bytes,
                          std::vector<std::pair<std::int32_t, std::string>>* seen = nullptr) {
    return journal::scan_journal(std::span<const char>(bytes.data(), bytes.size()),
                                 [&](const journal::journal_record& r) {
                                     if (seen != nullptr) seen->emplace_back(r.value, r.text);
                                     return true;
                                 });
}

TEST(journal_format, crc32c_matches_the_known_check_value) {
    EXPECT_EQ(journal::crc32c("123456789", 9), 0xe3069283u);
    EXPECT_EQ(journal::crc32c("", 0), 0u);
    // Pieces continue one another, whatever their lengths.
    const std::string text = "The quick brown fox jumps over the lazy dog, twice over";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        EXPECT_EQ(journal::crc32c(text.data() + cut, text.size() - cut,
                                  journal::crc32c(text.data(), cut)),
                  journal::crc32c(text.data(), text.size()))
            << cut;
    }
}

TEST(journal_format, records_cost_ten_bytes_beyond_their_string_and_read_back) {
    const std::string bytes = journal_of(three);
    std::size_t strings = 0;
    for (const auto& p : three) strings += p.second.size();
    EXPECT_EQ(bytes.size(), journal::header_size + strings + 3 * journal::record_overhead);
    std::vector<std::pair<std::int32_t, std::string>> seen;
    const journal::scan_result r = scan(bytes, &seen);
    EXPECT_EQ(r.kind, stop_kind::clean_end);
    EXPECT_EQ(r.records, 3u);
    EXPECT_EQ(r.good_end, bytes.size());
    EXPECT_EQ(seen, three);
}

struct damage_case {
    const char* name;
    std::function<std::string()> bytes;
    stop_kind kind;
    std::uint64_t offset;  // good_end: where the problem starts
};

const std::string good = journal_of(three);
const std::uint64_t second_record = journal::header_size + journal::record_overhead + 3;

std::string with_byte(std::string s, std::size_t at, char c) {
    s[at] = c;
    return s;
}

class journal_damage : public testing::TestWithParam<damage_case> {};

TEST_P(journal_damage, is_classified_at_its_offset) {
    const journal::scan_result r = scan(GetParam().bytes());
    EXPECT_EQ(r.kind, GetParam().kind) << journal::describe(r.kind);
    EXPECT_EQ(r.good_end, GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(
    cases, journal_damage,
    testing::Values(
        damage_case{"empty_file", [] { return std::string(); }, stop_kind::torn_tail, 0},
        damage_case{"torn_header", [] { return good.substr(0, 11); }, stop_kind::torn_tail, 0},
        damage_case{"header_only", [] { return good.substr(0, 16); }, stop_kind::clean_end, 16},
        damage_case{"foreign_magic", [] { return with_byte(good, 0, 'B'); },
                    stop_kind::foreign_file, 0},
        damage_case{"short_foreign_file", [] { return std::string("hello\n"); },
                    stop_kind::foreign_file, 0},
        damage_case{"newer_version", [] { return with_byte(good, 8, 2); }, stop_kind::newer_version,
                    0},
        damage_case{"version_zero", [] { return with_byte(good, 8, 0); }, stop_kind::foreign_file,
                    0},
        damage_case{"reserved_bytes_set", [] { return with_byte(good, 13, 1); },
                    stop_kind::foreign_file, 0},
        damage_case{"bad_checksum_in_the_middle",
                    [] { return with_byte(good, second_record + 7, 'X'); }, stop_kind::bad_checksum,
                    second_record},
        damage_case{"bad_value_in_the_first",
                    [] { return with_byte(good, journal::header_size + 3, 9); },
                    stop_kind::bad_checksum, journal::header_size},
        // Complete in size, so not torn: its bytes were changed after they
        // were written.
        damage_case{"bad_checksum_in_the_last_record",
                    [] { return with_byte(good, good.size() - 1, 0); }, stop_kind::bad_checksum,
                    good.size() - journal::record_overhead},
        damage_case{"zero_byte_in_a_string",
                    [] {
                        std::string b = journal::encode_header();
                        journal::append_record(b, 3, std::string("a\0b", 3));
                        return b;
                    },
                    stop_kind::zero_byte, journal::header_size},
        damage_case{"length_past_the_end_is_torn",
                    [] { return with_byte(good, good.size() - journal::record_overhead, 9); },
                    stop_kind::torn_tail, good.size() - journal::record_overhead}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(journal_format, a_torn_last_record_is_found_at_every_offset) {
    const std::uint64_t last = second_record + journal::record_overhead + three[1].second.size();
    std::string two = good.substr(0, last);
    journal::append_record(two, 99, "the last one");
    for (std::size_t cut = last + 1; cut < two.size(); ++cut) {
        std::vector<std::pair<std::int32_t, std::string>> seen;
        const journal::scan_result r = scan(two.substr(0, cut), &seen);
        ASSERT_EQ(r.kind, stop_kind::torn_tail) << cut;
        ASSERT_EQ(r.good_end, last) << cut;
        ASSERT_EQ(seen.size(), 2u) << cut;
    }
}

// Records split across chunks wait for the rest, as the server reads them.
TEST(journal_format, records_split_across_chunks_need_more) {
    const std::string body = good.substr(journal::header_size);
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        std::size_t records = 0;
        auto count = [&](const journal::journal_record&) { return ++records, true; };
        const journal::scan_result first = journal::scan_records(
            std::span<const char>(body.data(), cut), journal::header_size, false, count);
        const std::size_t used = static_cast<std::size_t>(first.good_end - journal::header_size);
        const journal::scan_result rest =
            journal::scan_records(std::span<const char>(body.data() + used, body.size() - used),
                                  first.good_end, true, count);
        ASSERT_EQ(rest.kind, stop_kind::clean_end) << cut;
        ASSERT_EQ(records, 3u) << cut;
    }
}

// The journal file ------------------------------------------------------

std::string temp_path() {
    char path[] = "/tmp/journal_test_XXXXXX";
    const int fd = ::mkstemp(path);
    EXPECT_GE(fd, 0);
    ::close(fd);
    return path;
}

struct opened {
    bool ok;
    std::string err;
};

opened open_journal(journal_file& j, const std::string& path, atom_table& table) {
    testing::internal::CaptureStderr();
    const bool ok = j.open_and_replay(path.c_str(), false, table);
    return {ok, testing::internal::GetCapturedStderr()};
}

TEST(journal_file, keeps_new_pairs_and_replays_them) {
    const std::string path = temp_path();
    {
        atom_table table;
        journal_file j;
        ASSERT_TRUE(open_journal(j, path, table).ok);
        EXPECT_EQ(read_file(path), journal::encode_header());
        table.keeper = j.keeper();
        for (const auto& [value, text] : three) {
            EXPECT_EQ(table.associate(value, text).outcome, association_outcome::accepted);
        }
        // The same pair again and refused pairs write nothing.
        EXPECT_EQ(table.associate(1, "one").outcome, association_outcome::accepted);
        EXPECT_EQ(table.associate(2, "one").outcome, association_outcome::refused);
        EXPECT_EQ(read_file(path), good);
    }
    atom_table table;
    journal_file j;
    const opened o = open_journal(j, path, table);
    ASSERT_TRUE(o.ok) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(j.records_loaded(), 3u);
    for (const auto& [value, text] : three) EXPECT_EQ(table.string_to_atom(text), value);
    ::unlink(path.c_str());
}

TEST(journal_file, a_torn_tail_is_cut_off_with_a_message) {
    const std::string path = temp_path();
    const std::string torn = good + good.substr(journal::header_size, 7);
    write_file(path, torn);
    atom_table table;
    journal_file j;
    const opened o = open_journal(j, path, table);
    ASSERT_TRUE(o.ok) << o.err;
    EXPECT_EQ(o.err, "journal " + path + ": torn last record: 7 bytes dropped at offset " +
                         std::to_string(good.size()) + "\n");
    EXPECT_EQ(read_file(path), good);
    EXPECT_EQ(table.size(), 3u);
    ::unlink(path.c_str());
}

struct refusal_case {
    const char* name;
    std::function<std::string()> bytes;
    std::string message;  // after "journal PATH: "
};

class journal_refusal : public testing::TestWithParam<refusal_case> {};

TEST_P(journal_refusal, names_the_file_and_offset_and_leaves_it_alone) {
    const std::string path = temp_path();
    const std::string bytes = GetParam().bytes();
    write_file(path, bytes);
    atom_table table;
    journal_file j;
    const opened o = open_journal(j, path, table);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "journal " + path + ": " + GetParam().message + "\n");
    EXPECT_EQ(read_file(path), bytes);
    ::unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    cases, journal_refusal,
    testing::Values(
        refusal_case{"bad_checksum", [] { return with_byte(good, second_record + 7, 'X'); },
                     "bad checksum at offset " + std::to_string(second_record)},
        refusal_case{"foreign_file", [] { return std::string("#!/bin/sh\necho hello\n"); },
                     "not an atom journal at offset 0"},
        refusal_case{"newer_version", [] { return with_byte(good, 8, 2); },
                     "a newer journal format at offset 0"},
        refusal_case{"string_taken_twice",
                     [] {
                         return journal_of({{1, "one"}, {2, "two"}, {3, "one"}});
                     },
                     "the record at offset 42 breaks the one-to-one rule: its string or value "
                     "is taken by an earlier record"},
        refusal_case{"value_taken_twice",
                     [] {
                         return journal_of({{1, "one"}, {1, "uno"}});
                     },
                     "the record at offset 29 breaks the one-to-one rule: its string or value "
                     "is taken by an earlier record"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(journal_file, a_repeated_identical_pair_replays) {
    const std::string path = temp_path();
    write_file(path, journal_of({{1, "one"}, {1, "one"}}));
    atom_table table;
    journal_file j;
    EXPECT_TRUE(open_journal(j, path, table).ok);
    EXPECT_EQ(table.size(), 1u);
    ::unlink(path.c_str());
}

TEST(journal_file, a_second_opener_is_refused_while_the_first_holds_it) {
    const std::string path = temp_path();
    atom_table first_table;
    journal_file first;
    ASSERT_TRUE(open_journal(first, path, first_table).ok);
    atom_table second_table;
    journal_file second;
    const opened o = open_journal(second, path, second_table);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "journal " + path + ": in use by another server (locked)\n");
    ::unlink(path.c_str());
}

TEST(journal_file, a_directory_is_refused) {
    atom_table table;
    journal_file j;
    const opened o = open_journal(j, "/tmp", table);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err.rfind("journal /tmp: ", 0), 0u) << o.err;
}

}  // namespace
