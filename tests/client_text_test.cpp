// The client's request and reply texts, its line reading for loads and its
// intern candidates: no sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "client/atom_client.h"
#include "client/line_source.h"
#include "client/load_progress.h"
#include "client/pair_loader.h"
#include "client/request_text.h"
#include "client/text_escaping.h"

using namespace atom;
using namespace atom::detail;

namespace {

TEST(client_requests, are_written_in_the_request_language) {
    EXPECT_EQ(string_lookup_request("foo bar"), "Sfoo bar");
    EXPECT_EQ(string_lookup_request(""), "S");
    EXPECT_EQ(value_lookup_request(-7), "N-7");
    EXPECT_EQ(association_request(7, "foo"), "A7 foo");
    EXPECT_EQ(association_request(-2147483647 - 1, " x"), "A-2147483648  x");
    EXPECT_EQ(association_request(5, ""), "A5 ");
}

struct sendable_case {
    std::string text;
    std::size_t limit;
    bool sendable;
};

TEST(client_requests, that_the_server_cannot_take_are_refused) {
    const sendable_case cases[] = {
        {std::string(98, 'x'), max_datagram_request, true},   // "S" + 98 = 99
        {std::string(99, 'x'), max_datagram_request, false},  // 100 bytes
        {std::string(254, 'x'), max_frame_body, true},
        {std::string(255, 'x'), max_frame_body, false},
        {std::string("ab\0cd", 5), max_frame_body, false},
        {std::string(1, '\0'), max_datagram_request, false},
        {"", max_datagram_request, true},
    };
    for (const sendable_case& c : cases) {
        const std::string why = why_unsendable(c.text, string_lookup_request(c.text), c.limit);
        EXPECT_EQ(why.empty(), c.sendable) << c.text.size() << " bytes, limit " << c.limit;
    }
    const std::string zero("a\0b", 3);
    EXPECT_NE(why_unsendable(zero, string_lookup_request(zero), 99).find("zero byte"),
              std::string::npos);
}

TEST(client_replies, are_read_strictly) {
    EXPECT_EQ(read_value_reply("N7"), 7);
    EXPECT_EQ(read_value_reply("N-1"), -1);
    EXPECT_EQ(read_value_reply("N-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", "N", "N+7", "N7x", "N 7", "S7", "N2147483648", "E7 foo"}) {
        EXPECT_EQ(read_value_reply(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(read_string_reply("Sfoo bar"), "foo bar");
    EXPECT_EQ(read_string_reply("S"), "");
    EXPECT_EQ(read_string_reply("N7"), std::nullopt);

    const std::optional<pair_in_force> pair = read_refusal_reply("E7 foo bar");
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->value, 7);
    EXPECT_EQ(pair->text, "foo bar");
    EXPECT_EQ(read_refusal_reply("E-3 ")->text, "");
    for (const char* bad : {"E", "E7", "Ex foo", "E+7 foo", "N7 foo"}) {
        EXPECT_EQ(read_refusal_reply(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(is_alive_reply("R"));
    EXPECT_FALSE(is_alive_reply("Rx"));
}

struct line_case {
    std::string line;
    std::optional<std::int32_t> value;  // nullopt: malformed
    std::string text;
};

TEST(load_lines, are_a_value_one_separator_and_the_rest) {
    const line_case cases[] = {
        {"7 foo", 7, "foo"},
        {"-7\tfoo bar ", -7, "foo bar "},
        {"+7  two blanks", 7, " two blanks"},
        {"5 ", 5, ""},
        {"2147483647 max", 2147483647, "max"},
        {"7 foo\r", 7, "foo\r"},
        {"", std::nullopt, ""},
        {"7", std::nullopt, ""},
        {"seven foo", std::nullopt, ""},
        {"2147483648 too big", std::nullopt, ""},
        {" 7 leading blank", std::nullopt, ""},
        {std::string("7 a\0b", 5), std::nullopt, ""},
        {"7 " + std::string(251, 'x'), 7, std::string(251, 'x')},  // "A7 " + 251 = 254
        {"7 " + std::string(253, 'x'), std::nullopt, ""},          // 256 bytes
    };
    for (const line_case& c : cases) {
        std::string why;
        const std::optional<value_string_line> pair = parse_pair_line(c.line, why);
        ASSERT_EQ(pair.has_value(), c.value.has_value()) << c.line << ": " << why;
        if (!pair) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(pair->value, *c.value);
        EXPECT_EQ(pair->text, c.text);
    }
}

TEST(intern_candidates, are_positive_fixed_by_the_string_and_spread) {
    std::set<std::int32_t> seen;
    for (unsigned k = 0; k < max_intern_candidates; ++k) {
        const std::int32_t candidate = intern_candidate("foo", k);
        EXPECT_GT(candidate, 0);
        EXPECT_EQ(candidate, intern_candidate("foo", k));
        seen.insert(candidate);
    }
    EXPECT_EQ(seen.size(), max_intern_candidates);
    EXPECT_NE(intern_candidate("foo", 0), intern_candidate("fop", 0));
}

TEST(load_progress_line, appears_after_a_second_and_is_redrawn_a_few_times_a_second) {
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    load_progress progress([&] { return now; });
    load_summary counts;
    counts.lines = 2000;
    counts.accepted = 1500;
    counts.refused = 500;
    EXPECT_EQ(progress.update(counts), "");
    now += std::chrono::milliseconds(999);
    EXPECT_EQ(progress.update(counts), "");
    EXPECT_EQ(progress.finish(), "");  // a short load leaves no line behind
    now += std::chrono::milliseconds(1);
    EXPECT_EQ(progress.update(counts),
              "\r2000 lines read, 1500 accepted, 500 refused (2000 lines/s)");
    now += std::chrono::milliseconds(100);
    EXPECT_EQ(progress.update(counts), "");
    now += std::chrono::milliseconds(150);
    EXPECT_NE(progress.update(counts), "");
    EXPECT_EQ(progress.finish(), "\n");
}

TEST(text_escaping, round_trips_every_byte_but_zero_on_one_line) {
    std::string every_byte;
    for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
    const std::string texts[] = {"",         "plain text", "a\tb\nc\r\n",     "back\\slash\\",
                                 every_byte, "\\x41",      "caf\xc3\xa9 \x7f"};
    for (const std::string& text : texts) {
        const std::string escaped = atom::escape(text);
        for (const char c : escaped) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << "control byte " << int{byte};
        }
        EXPECT_EQ(atom::unescape(escaped), text) << escaped;
    }
    EXPECT_EQ(atom::escape("a\tb\\c\x01\xc3\xa9"), "a\\tb\\\\c\\x01\xc3\xa9");
}

TEST(text_escaping, refuses_what_escape_cannot_have_written) {
    const char* malformed[] = {"ends in \\", "\\q", "\\x4", "\\xg1", "\\x00", "\\X41"};
    for (const char* text : malformed) {
        std::string why;
        EXPECT_EQ(atom::unescape(text, &why), std::nullopt) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
    EXPECT_EQ(atom::unescape("\\x4A\\x4a"), "JJ");
}

}  // namespace

namespace {

// Every line a source gives until it stops, and how it stopped.
std::pair<std::vector<std::string>, line_source::state> drain(line_source& source) {
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; i < 100; ++i) {
        const line_source::state got = source.next(line);
        if (got != line_source::state::line) return {lines, got};
        lines.push_back(line);
    }
    return {lines, line_source::state::line};
}

TEST(line_sources, give_lines_as_they_arrive_and_drop_a_final_carriage_return) {
    struct source_case {
        std::string input;
        bool keep_cr;
        std::vector<std::string> lines;
    };
    const source_case cases[] = {
        {"a\nb\n", false, {"a", "b"}},
        {"a\r\nb\r\r\n\r\n", false, {"a", "b\r", ""}},
        {"a\r\nlast", true, {"a\r", "last"}},
        {"", false, {}},
        {"\n", false, {""}},
    };
    for (const source_case& c : cases) {
        SCOPED_TRACE(c.input);
        std::istringstream in(c.input);
        line_source from_stream(in, c.keep_cr);
        EXPECT_EQ(drain(from_stream), std::make_pair(c.lines, line_source::state::end));

        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_EQ(::write(ends[1], c.input.data(), c.input.size()),
                  static_cast<ssize_t>(c.input.size()));
        line_source from_pipe(ends[0], c.keep_cr);
        // The writer is still open: what has come is given, then it waits.
        const auto [before, waiting] = drain(from_pipe);
        EXPECT_EQ(waiting, line_source::state::waiting);
        ::close(ends[1]);
        std::vector<std::string> all = before;
        const auto [after, ended] = drain(from_pipe);
        all.insert(all.end(), after.begin(), after.end());
        EXPECT_EQ(all, c.lines);
        EXPECT_EQ(ended, line_source::state::end);
        ::close(ends[0]);
    }
}

TEST(line_sources, report_a_read_error) {
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    line_source source(directory, false);
    std::string line;
    EXPECT_EQ(source.next(line), line_source::state::failed);
    EXPECT_NE(source.error().find("read"), std::string::npos) << source.error();
    ::close(directory);
}

TEST(load_lines, escaped_strings_are_unescaped) {
    std::string why;
    const std::optional<value_string_line> pair = parse_pair_line("3 a\\tb\\\\c", why, true);
    ASSERT_TRUE(pair) << why;
    EXPECT_EQ(pair->text, "a\tb\\c");
    EXPECT_FALSE(parse_pair_line("3 a\\q", why, true));
    EXPECT_NE(why.find("not validly escaped"), std::string::npos);
    EXPECT_TRUE(parse_pair_line("3 a\\q", why, false));
}

}  // namespace
