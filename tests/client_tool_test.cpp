// The atom_client tool against the real server: answers on standard output,
// messages on standard error, and the exit status.
#include <gtest/gtest.h>

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
