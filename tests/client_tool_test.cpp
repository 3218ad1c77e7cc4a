// The atom_client tool against the real server: answers on standard output,
// messages on standard error, and the exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/atom_client.h"
#include "tests/support/server_process.h"

using namespace atom;
using namespace atom::detail;

namespace {

command_result run_tool(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), ATOM_CLIENT_PATH);
    return run_command(args, input);
}

struct tool_case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // a part of standard error; empty: standard error is empty
};

void expect_case(const tool_case& c, const command_result& r) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << shown;
    if (c.err.empty()) {
        EXPECT_EQ(r.err, "") << shown;
    } else {
        EXPECT_NE(r.err.find(c.err), std::string::npos) << shown << "\n" << r.err;
    }
}

struct tool_test : testing::TestWithParam<std::string> {
    std::unique_ptr<server_process> server;
    void SetUp() override {
        server = std::make_unique<server_process>(launch_options{.args = {"-no_fork", "-quiet"}});
        ASSERT_TRUE(server->wait_until_serving());
    }
};

INSTANTIATE_TEST_SUITE_P(both_transports, tool_test, testing::Values("--udp", "--tcp"),
                         [](const auto& param_info) { return param_info.param.substr(2); });

TEST_P(tool_test, commands_answer_and_say_how_in_the_exit_status) {
    const std::string hello = std::to_string(intern_candidate("hello", 0));
    const std::string too_long(GetParam() == "--udp" ? 99 : 255, 'x');
    const tool_case cases[] = {
        {{"ping"}, 0, "alive\n", ""},
        {{"get", "foo"}, 1, "", "not found: foo"},
        {{"name", "7"}, 1, "", "not found: 7"},
        {{"set", "7", "foo"}, 0, "", ""},
        {{"set", "7", "foo"}, 0, "", ""},
        {{"get", "foo"}, 0, "7\n", ""},
        {{"name", "7"}, 0, "foo\n", ""},
        {{"set", "8", "foo"}, 1, "", "in force: 7 foo"},
        {{"set", "7", "bar"}, 1, "", "in force: 7 foo"},
        {{"set", "-1", "minus"}, 0, "", ""},
        {{"get", "minus"}, 0, "-1\n", ""},
        {{"get", "nobody"}, 1, "", "not found: nobody"},
        {{"set", "+5", ""}, 0, "", ""},
        {{"name", "5"}, 0, "\n", ""},
        {{"intern", "hello"}, 0, hello + "\n", ""},
        {{"intern", "hello"}, 0, hello + "\n", ""},
        {{"intern", "foo"}, 0, "7\n", ""},
        {{"get", too_long}, 2, "", "not sent"},
    };
    for (const tool_case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {GetParam(), "--timeout", "2"});
        expect_case(c, run_tool(args));
    }
}

// 127.0.0.2 is another of the host's addresses; the tool's socket takes
// replies only from it.
TEST_P(tool_test, a_second_address_of_the_host_answers) {
    expect_case({{"ping"}, 0, "alive\n", ""},
                run_tool({GetParam(), "--host", "127.0.0.2", "--timeout", "2", "ping"}));
}

TEST_P(tool_test, a_missing_server_is_exit_status_3) {
    server->kill_now();
    for (const char* command : {"ping", "get"}) {
        std::vector<std::string> args = {GetParam(), "--timeout", "1", command};
        if (std::string(command) == "get") args.push_back("foo");
        const command_result r = run_tool(args);
        EXPECT_EQ(r.status, 3) << command << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("unreachable"), std::string::npos) << r.err;
    }
}

TEST(tool, refuses_bad_usage_with_exit_status_2) {
    const tool_case cases[] = {
        {{}, 2, "", "no COMMAND"},
        {{"frobnicate"}, 2, "", "unknown command"},
        {{"--verbose", "ping"}, 2, "", "unknown option"},
        {{"--timeout", "soon", "ping"}, 2, "", "--timeout"},
        {{"--timeout", "0", "ping"}, 2, "", "--timeout"},
        {{"--host"}, 2, "", "--host"},
        {{"get", "a", "b"}, 2, "", "wrong number of arguments"},
        {{"set", "1"}, 2, "", "wrong number of arguments"},
        {{"ping", "extra"}, 2, "", "wrong number of arguments"},
        {{"name", "seven"}, 2, "", "VALUE"},
        {{"set", "4294967296", "x"}, 2, "", "VALUE"},
        {{"--udp", "load"}, 2, "", "TCP only"},
        {{"load", "/nonexistent/file"}, 2, "", "cannot open"},
        {{"--host", "no.such.host.invalid", "ping"}, 3, "", "resolve"},
    };
    for (const tool_case& c : cases) expect_case(c, run_tool(c.args));
    const command_result help = run_tool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"usage:", "ping", "get STRING", "name VALUE", "set VALUE STRING",
                             "intern STRING", "load [FILE]", "--timeout", "exit status"}) {
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    }
}

struct load_test : testing::Test {
    std::unique_ptr<server_process> server;
    void SetUp() override {
        server = std::make_unique<server_process>(launch_options{.args = {"-no_fork", "-quiet"}});
        ASSERT_TRUE(server->wait_until_serving());
    }
};

TEST_F(load_test, loads_a_hundred_thousand_lines_that_lookups_then_find) {
    constexpr int lines = 100000;
    std::string input;
    for (int i = 0; i < lines; ++i) {
        input += std::to_string(i * 7 - 350000) + " line " + std::to_string(i) + "\n";
    }
    const command_result r = run_tool({"load"}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("100000 lines: 100000 accepted, 0 refused, 0 malformed"),
              std::string::npos)
        << r.err;

    // Every pair read back, by lookups pipelined a thousand at a time.
    tcp_client lookups;
    ASSERT_TRUE(lookups.connected());
    constexpr int window = 1000;
    int mismatches = 0;
    for (int start = 0; start < lines; start += window) {
        std::string frames;
        for (int i = start; i < start + window; ++i) frames += frame("Sline " + std::to_string(i));
        ASSERT_TRUE(lookups.send_raw(frames));
        for (int i = start; i < start + window; ++i) {
            const std::optional<std::string> reply = lookups.read_frame();
            ASSERT_TRUE(reply) << "line " << i;
            if (*reply != "N" + std::to_string(i * 7 - 350000)) ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(tcp_client().ask("N-350000"), "Sline 0");
}

TEST_F(load_test, reports_each_refusal_with_the_association_in_force) {
    const std::string long_text = std::string(120, 'L');
    const std::string cut = long_text.substr(0, 99 - 5);  // "E500 " and the rest
    const std::string input =
        "7 foo\n"
        "7 foo\n"  // the same pair again: accepted
        "8 foo\n"  // the string has a value
        "7 bar\n"  // the value has a string
        "-1 minus\n"
        "12\n"   // no string
        "x y\n"  // no value
        "500 " +
        long_text +
        "\n"
        "500 other\n"  // refused with a refusal cut short by the server
        "501 " +
        long_text +
        "\n"
        "9 last";  // no line end at the end
    const command_result r = run_tool({"--host", "localhost", "load", "-"}, input);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    for (const std::string& part :
         {std::string("line 3: 8 foo refused; in force: 7 foo\n"),
          std::string("line 4: 7 bar refused; in force: 7 foo\n"),
          std::string("line 6: not a VALUE STRING line"),
          std::string("line 7: the value is not a decimal 32-bit number: x y\n"),
          "line 9: 500 other refused; in force: 500 " + cut + "\n",
          "line 10: 501 " + long_text + " refused; in force: 500 " + long_text + "\n",
          std::string("11 lines: 5 accepted, 4 refused, 2 malformed\n")}) {
        EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n---\n" << r.err;
    }
    client_options options;
    options.transport = transport_kind::tcp;
    atom_client client(options);
    EXPECT_EQ(client.string_to_atom("minus").value, -1);
    EXPECT_EQ(client.string_to_atom("last").value, 9);
    EXPECT_EQ(client.string_to_atom(long_text).value, 500);
}

TEST(load_without_server, stops_with_exit_status_3) {
    const command_result r = run_tool({"--timeout", "1", "load"}, "1 one\n");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("load stopped"), std::string::npos) << r.err;
}

}  // namespace

namespace {

// Runs a shell command line with the tool's path in $C, for the cases that
// need a pipe, a redirection or a slow producer.
command_result run_shell(const std::string& script) {
    return run_command({"/bin/sh", "-c", "C=" ATOM_CLIENT_PATH "; " + script});
}

TEST_F(load_test, a_producer_that_pauses_is_loaded_line_by_line) {
    // Each pause is longer than the time-out: the time-out runs only while
    // replies are awaited, and every line is sent when it comes.
    const command_result r = run_shell(
        "for i in 10 11 12 13 14; do echo \"$i s$i\"; sleep 0.3; done | $C --timeout 0.1 load");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("5 lines: 5 accepted, 0 refused, 0 malformed"), std::string::npos)
        << r.err;
    for (int i = 10; i <= 14; ++i) {
        EXPECT_EQ(tcp_client().ask("Ss" + std::to_string(i)), "N" + std::to_string(i));
    }
}

TEST_F(load_test, read_and_write_failures_are_errors) {
    const tool_case cases[] = {
        {{"load", "/"}, 2, "", "Is a directory"},
    };
    for (const tool_case& c : cases) expect_case(c, run_tool(c.args));
    struct shell_case {
        std::string script;
        int status;
        std::string err;
    };
    const shell_case shell_cases[] = {
        {"$C --tcp intern foo >/dev/full", 4, "write to standard output"},
        {"$C ping >/dev/full", 4, "write to standard output"},
        {"printf 'foo\\n' | $C get >/dev/full", 4, "write to standard output"},
        {"$C --help >/dev/full", 4, "write to standard output"},
    };
    for (const shell_case& c : shell_cases) {
        const command_result r = run_shell(c.script);
        EXPECT_EQ(r.status, c.status) << c.script << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.script << "\n" << r.err;
    }
}

TEST_F(load_test, a_final_carriage_return_is_dropped_unless_kept) {
    const command_result dropped = run_tool({"load"}, "4 crlf\r\n5 two\r\r\n");
    EXPECT_EQ(dropped.status, 0) << dropped.err;
    EXPECT_EQ(tcp_client().ask("Scrlf"), "N4");
    EXPECT_EQ(tcp_client().ask("Stwo\r"), "N5");  // only the last one goes
    const command_result kept = run_tool({"load", "--keep-cr"}, "6 kept\r\n");
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(tcp_client().ask("Skept\r"), "N6");
}

TEST_F(load_test, progress_is_for_terminals_and_quiet_says_nothing_on_success) {
    std::string input;
    for (int i = 0; i < 20000; ++i) input += std::to_string(i) + " p" + std::to_string(i) + "\n";
    const command_result logged = run_tool({"load"}, input);
    EXPECT_EQ(logged.status, 0);
    EXPECT_EQ(logged.err.find('\r'), std::string::npos);  // standard error is not a terminal
    EXPECT_EQ(logged.err, "20000 lines: 20000 accepted, 0 refused, 0 malformed\n");
    expect_case({{"load", "--quiet"}, 0, "", ""}, run_tool({"load", "--quiet"}, input));
    // Problems are still told.
    expect_case({{"--quiet", "load"}, 1, "", "line 1: 0 other refused"},
                run_tool({"--quiet", "load"}, "0 other\n"));
}

TEST_F(load_test, escaped_lines_carry_any_string) {
    const command_result r =
        run_tool({"load", "--escaped"}, "1 tab\\there\n2 line\\nend\n3 back\\\\slash\n4 bad\\q\n");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("line 4: the string is not validly escaped"), std::string::npos) << r.err;
    EXPECT_EQ(tcp_client().ask("Stab\there"), "N1");
    EXPECT_EQ(tcp_client().ask("Sline\nend"), "N2");
    EXPECT_EQ(tcp_client().ask("Sback\\slash"), "N3");
    const command_result names = run_tool({"name", "--escaped"}, "1\n2\n3\n");
    EXPECT_EQ(names.status, 0) << names.err;
    EXPECT_EQ(names.out, "1\ttab\\there\n2\tline\\nend\n3\tback\\\\slash\n");
    // Single commands: the STRING argument, and name's answer.
    expect_case({{"--escaped", "name", "2"}, 0, "line\\nend\n", ""},
                run_tool({"--escaped", "name", "2"}));
    expect_case({{"get", "--escaped", "line\\nend"}, 0, "2\n", ""},
                run_tool({"get", "--escaped", "line\\nend"}));
    expect_case({{"set", "--escaped", "9", "nine\\x01"}, 0, "", ""},
                run_tool({"set", "--escaped", "9", "nine\\x01"}));
    EXPECT_EQ(tcp_client().ask("Snine\x01"), "N9");
    expect_case({{"get", "--escaped", "bad\\"}, 2, "", "not validly escaped"},
                run_tool({"get", "--escaped", "bad\\"}));
}

TEST_F(load_test, batch_lookups_answer_each_key_in_order) {
    ASSERT_EQ(run_tool({"load"}, "7 seven\n-1 minus\n5 \n8 " + std::string(120, 'L') + "\n").status,
              0);
    struct batch_case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        std::string err;
    };
    const std::string nine = std::to_string(intern_candidate("nine", 0));
    const batch_case cases[] = {
        {{"get"},
         "seven\nminus\nnobody\n\n",
         1,
         "7\tseven\n-1\tminus\nnobody\n5\t\n",
         "not found: nobody"},
        {{"get", "-"}, "seven\r\n", 0, "7\tseven\n", ""},
        {{"name"},
         "7\n-1\n6\n5\nseven\n",
         2,
         "7\tseven\n-1\tminus\n6\n5\t\nseven\n",
         "not sent: seven"},
        {{"name"}, "8\n", 0, "8\t" + std::string(99, 'L') + "\n", "longer than the 99 bytes"},
        {{"intern"},
         "seven\nnine\nnine\n",
         0,
         "7\tseven\n" + nine + "\tnine\n" + nine + "\tnine\n",
         ""},
        {{"--udp", "get"}, "seven\n", 2, "", "TCP only"},
    };
    for (const batch_case& c : cases) {
        const command_result r = run_tool(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.input << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.input;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << c.input;
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << c.input << "\n" << r.err;
        }
    }
}

TEST_P(tool_test, a_cut_string_is_told_and_long_strings_are_found_by_intern) {
    const std::string long_text(150, 'C');
    const std::string fits_udp(95, 'U');  // too long for an association over UDP
    ASSERT_EQ(run_tool({"--tcp", "set", "40", long_text}).status, 0);
    ASSERT_EQ(run_tool({"--tcp", "set", "41", fits_udp}).status, 0);
    const std::string unknown(95, 'V');
    const tool_case cases[] = {
        {{"name", "40"}, 0, std::string(99, 'C') + "\n", "longer than the 99 bytes"},
        {{"intern", fits_udp}, 0, "41\n", ""},
        {{"get", fits_udp}, 0, "41\n", ""},
    };
    for (const tool_case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), GetParam());
        expect_case(c, run_tool(args));
    }
    const command_result r = run_tool({GetParam(), "intern", unknown});
    if (GetParam() == "--udp") {
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("TCP takes longer strings"), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(load_test, a_udp_time_out_suggests_tcp_when_tcp_answers) {
    // A datagram socket that never answers stands for a path that loses UDP.
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(silent, 0);
    const sockaddr_in self = loopback_address(5450);
    ASSERT_EQ(::bind(silent, reinterpret_cast<const sockaddr*>(&self), sizeof self), 0);
    const command_result r = run_tool({"--port", "5450", "--timeout=0.2", "ping"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("try --tcp"), std::string::npos) << r.err;
    ::close(silent);
}

TEST_F(load_test, options_follow_the_usual_conventions) {
    const tool_case cases[] = {
        {{"--version"}, 0, "atom_client " ATOM_CLIENT_VERSION "\n", ""},
        {{"set", "3", "three", "--tcp"}, 0, "", ""},
        {{"--timeout=2", "--host=127.0.0.1", "get", "three"}, 0, "3\n", ""},
        {{"--tcp", "--port", "4445", "get", "three"}, 0, "3\n", ""},
        {{"--tcp", "--port=5999", "--timeout=1", "ping"}, 3, "", "unreachable"},
        {{"set", "--", "-4", "--dashed"}, 0, "", ""},
        {{"get", "--", "--dashed"}, 0, "-4\n", ""},
        {{"name", "-4"}, 0, "--dashed\n", ""},
        {{"--port=0", "ping"}, 2, "", "--port"},
        {{"--quiet=yes", "ping"}, 2, "", "takes no value"},
    };
    for (const tool_case& c : cases) expect_case(c, run_tool(c.args));
    const command_result help = run_tool({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage:"), std::string::npos);
}

}  // namespace
