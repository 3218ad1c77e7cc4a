// The client library against the real server, over both transports, and
// through the misbehaving peers of tests/support/fake_peers.h.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "client/atom_client.h"
#include "client/exchange.h"
#include "client/pair_loader.h"
#include "client/request_text.h"
#include "tests/support/fake_peers.h"
#include "tests/support/server_process.h"

using namespace atom;
using namespace atom::detail;

namespace {

std::unique_ptr<server_process> start_server() {
    auto server = std::make_unique<server_process>(launch_options{.args = {"-no_fork", "-quiet"}});
    if (!server->wait_until_serving()) return nullptr;
    return server;
}

client_options options_for(transport_kind kind, bool cache = false) {
    client_options options;
    options.transport = kind;
    options.cache = cache;
    options.timeout = 2s;
    return options;
}

void expect_answer(const atom_answer& answer, atom_status status, std::int32_t value,
                   const std::string& text) {
    EXPECT_EQ(answer.status, status) << status_name(answer.status) << ": " << answer.error;
    EXPECT_EQ(answer.value, value);
    EXPECT_EQ(answer.text, text);
}

struct library_test : testing::TestWithParam<transport_kind> {
    std::unique_ptr<server_process> server;
    void SetUp() override { ASSERT_TRUE(server = start_server()); }
    client_options options(bool cache = false) const { return options_for(GetParam(), cache); }
};

INSTANTIATE_TEST_SUITE_P(both_transports, library_test,
                         testing::Values(transport_kind::udp, transport_kind::tcp),
                         [](const auto& param_info) {
                             return param_info.param == transport_kind::udp ? "udp" : "tcp";
                         });

TEST_P(library_test, looks_up_and_associates) {
    atom_client client(options());
    EXPECT_EQ(client.ping().status, atom_status::alive);
    EXPECT_EQ(client.string_to_atom("foo").status, atom_status::not_found);
    EXPECT_EQ(client.atom_to_string(7).status, atom_status::not_found);
    expect_answer(client.associate(7, "foo"), atom_status::accepted, 7, "foo");
    expect_answer(client.associate(7, "foo"), atom_status::accepted, 7, "foo");  // already so
    expect_answer(client.string_to_atom("foo"), atom_status::found, 7, "foo");
    expect_answer(client.atom_to_string(7), atom_status::found, 7, "foo");
    expect_answer(client.associate(-3, " blanks inside "), atom_status::accepted, -3,
                  " blanks inside ");
    expect_answer(client.atom_to_string(-3), atom_status::found, -3, " blanks inside ");
}

TEST_P(library_test, refusals_report_the_association_in_force) {
    ASSERT_EQ(atom_client(options()).associate(7, "foo").status, atom_status::accepted);
    struct refusal_case {
        std::int32_t value;
        std::string text;
        std::int32_t in_force_value;
        std::string in_force_text;
    };
    const refusal_case cases[] = {
        {8, "foo", 7, "foo"},  // the string has another value
        {7, "bar", 7, "foo"},  // the value has another string
        {-1, "foo", 7, "foo"},
    };
    for (const bool cache : {false, true}) {
        atom_client client(options(cache));
        for (const refusal_case& c : cases) {
            SCOPED_TRACE(c.text + " " + std::to_string(c.value) + (cache ? " cached" : ""));
            expect_answer(client.associate(c.value, c.text), atom_status::refused, c.in_force_value,
                          c.in_force_text);
        }
    }
}

TEST_P(library_test, tells_minus_one_and_the_empty_string_from_not_found) {
    atom_client client(options());
    EXPECT_EQ(client.string_to_atom("minus").status, atom_status::not_found);
    expect_answer(client.associate(-1, "minus"), atom_status::accepted, -1, "minus");
    expect_answer(client.string_to_atom("minus"), atom_status::found, -1, "minus");
    EXPECT_EQ(client.string_to_atom("other").status, atom_status::not_found);  // also "N-1"
    expect_answer(client.atom_to_string(-1), atom_status::found, -1, "minus");

    EXPECT_EQ(client.string_to_atom("").status, atom_status::not_found);
    EXPECT_EQ(client.atom_to_string(5).status, atom_status::not_found);
    expect_answer(client.associate(5, ""), atom_status::accepted, 5, "");
    expect_answer(client.atom_to_string(5), atom_status::found, 5, "");  // "S" alone
    expect_answer(client.string_to_atom(""), atom_status::found, 5, "");
    EXPECT_EQ(client.atom_to_string(6).status, atom_status::not_found);  // also "S" alone
}

TEST_P(library_test, the_empty_string_with_minus_one_is_made_only_where_it_can_be_confirmed) {
    atom_client client(options());
    const atom_answer answer = client.associate(-1, "");
    if (GetParam() == transport_kind::udp) {
        EXPECT_EQ(answer.status, atom_status::bad_request);
        EXPECT_EQ(client.requests_sent(), 0u);
    } else {
        expect_answer(answer, atom_status::accepted, -1, "");
        expect_answer(client.associate(3, ""), atom_status::refused, -1, "");
    }
}

TEST_P(library_test, interns_new_and_known_strings) {
    atom_client client(options());
    expect_answer(client.intern("hello"), atom_status::found, intern_candidate("hello", 0),
                  "hello");
    expect_answer(client.intern("hello"), atom_status::found, intern_candidate("hello", 0),
                  "hello");
    expect_answer(client.string_to_atom("hello"), atom_status::found, intern_candidate("hello", 0),
                  "hello");

    ASSERT_EQ(client.associate(42, "old").status, atom_status::accepted);
    expect_answer(client.intern("old"), atom_status::found, 42, "old");

    // The first candidate belongs to another string: the next is taken.
    ASSERT_EQ(client.associate(intern_candidate("taken", 0), "squatter").status,
              atom_status::accepted);
    expect_answer(client.intern("taken"), atom_status::found, intern_candidate("taken", 1),
                  "taken");
}

TEST_P(library_test, concurrent_interns_agree) {
    constexpr int clients = 4;
    constexpr int strings = 150;
    // Two strings per candidate chain collide on purpose: "a<i>" takes the
    // first candidate of "b<i>" before the race starts for half of them.
    for (int i = 0; i < strings; i += 2) {
        ASSERT_EQ(
            atom_client(options())
                .associate(intern_candidate("b" + std::to_string(i), 0), "a" + std::to_string(i))
                .status,
            atom_status::accepted);
    }
    std::vector<std::map<std::string, std::int32_t>> results(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            atom_client client(options(true));
            for (int k = 0; k < strings; ++k) {
                // Each client goes through the strings in its own order.
                const int i = c % 2 == 0 ? (k + 37 * c) % strings : strings - 1 - k;
                const std::string text = "b" + std::to_string(i);
                const atom_answer answer = client.intern(text);
                if (answer.status == atom_status::found) results[c][text] = answer.value;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    atom_client checker(options());
    ASSERT_EQ(results[0].size(), static_cast<std::size_t>(strings));
    for (const auto& [text, value] : results[0]) {
        expect_answer(checker.string_to_atom(text), atom_status::found, value, text);
    }
    for (int c = 1; c < clients; ++c) EXPECT_EQ(results[c], results[0]) << "client " << c;
}

TEST_P(library_test, caches_found_pairs_but_not_absence) {
    atom_client client(options(true));
    ASSERT_EQ(client.associate(9, "nine").status, atom_status::accepted);
    const std::size_t sent = client.requests_sent();
    expect_answer(client.string_to_atom("nine"), atom_status::found, 9, "nine");
    expect_answer(client.atom_to_string(9), atom_status::found, 9, "nine");
    expect_answer(client.associate(9, "nine"), atom_status::accepted, 9, "nine");
    expect_answer(client.associate(10, "nine"), atom_status::refused, 9, "nine");
    EXPECT_EQ(client.requests_sent(), sent);

    EXPECT_EQ(client.string_to_atom("later").status, atom_status::not_found);
    EXPECT_EQ(client.atom_to_string(11).status, atom_status::not_found);
    ASSERT_EQ(atom_client(options()).associate(11, "later").status, atom_status::accepted);
    expect_answer(client.string_to_atom("later"), atom_status::found, 11, "later");
    expect_answer(client.atom_to_string(11), atom_status::found, 11, "later");

    // Over UDP cached answers stand even when the server is gone. Over TCP
    // the ended connection says the server went away, and what it said is
    // forgotten with it: a server started anew may not hold those pairs.
    server->kill_now();
    if (GetParam() == transport_kind::udp) {
        expect_answer(client.string_to_atom("nine"), atom_status::found, 9, "nine");
    } else {
        EXPECT_EQ(client.string_to_atom("nine").status, atom_status::unreachable);
        EXPECT_EQ(client.cached_pairs(), 0u);
    }

    atom_client uncached(options(false));
    EXPECT_EQ(uncached.string_to_atom("nine").status, atom_status::unreachable);
}

TEST_P(library_test, refuses_what_the_server_cannot_take_before_sending) {
    server->kill_now();  // anything sent would come back unreachable
    const std::size_t longest = GetParam() == transport_kind::udp ? 98 : 254;  // after "S"
    atom_client client(options());
    EXPECT_EQ(client.string_to_atom(std::string("a\0b", 3)).status, atom_status::bad_request);
    EXPECT_EQ(client.associate(1, std::string("\0", 1)).status, atom_status::bad_request);
    EXPECT_EQ(client.intern(std::string("x\0", 2)).status, atom_status::bad_request);
    EXPECT_EQ(client.string_to_atom(std::string(longest + 1, 'x')).status,
              atom_status::bad_request);
    // "A12 " and the string: one byte more than "S" and the longest.
    EXPECT_EQ(client.associate(12, std::string(longest - 2, 'x')).status, atom_status::bad_request);
    EXPECT_EQ(client.requests_sent(), 0u);
    EXPECT_EQ(client.string_to_atom(std::string(longest, 'x')).status, atom_status::unreachable);
}

TEST_P(library_test, reports_a_missing_server_as_unreachable) {
    server->kill_now();
    atom_client client(options());
    for (const atom_answer& answer : {client.ping(), client.string_to_atom("x"),
                                      client.associate(1, "x"), client.intern("x")}) {
        EXPECT_EQ(answer.status, atom_status::unreachable) << status_name(answer.status);
        EXPECT_FALSE(answer.error.empty());
    }
}

TEST(library_over_tcp, reconnects_once_when_the_connection_is_lost) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client client(options_for(transport_kind::tcp));
    ASSERT_EQ(client.associate(1, "one").status, atom_status::accepted);
    server->kill_now();
    server = start_server();  // a new table, and the old connection is dead
    ASSERT_TRUE(server);
    EXPECT_EQ(client.string_to_atom("one").status, atom_status::not_found);
    expect_answer(client.associate(2, "two"), atom_status::accepted, 2, "two");
    expect_answer(client.string_to_atom("two"), atom_status::found, 2, "two");
}

TEST(library_over_tcp, drops_the_cache_when_a_restarted_server_is_reached) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client client(options_for(transport_kind::tcp, true));
    ASSERT_EQ(client.associate(1, "one").status, atom_status::accepted);
    expect_answer(client.string_to_atom("one"), atom_status::found, 1, "one");
    ASSERT_EQ(client.cached_pairs(), 1u);
    server->kill_now();
    server = start_server();  // without a journal: the pairs are gone
    ASSERT_TRUE(server);
    ASSERT_EQ(atom_client(options_for(transport_kind::tcp)).associate(1, "uno").status,
              atom_status::accepted);
    EXPECT_EQ(client.string_to_atom("one").status, atom_status::not_found);
    expect_answer(client.atom_to_string(1), atom_status::found, 1, "uno");
    expect_answer(client.associate(2, "one"), atom_status::accepted, 2, "one");
}

TEST(library_over_tcp, a_client_moves_with_its_connection_and_cache) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client first(options_for(transport_kind::tcp, true));
    ASSERT_EQ(first.associate(3, "three").status, atom_status::accepted);
    atom_client moved(std::move(first));
    const std::size_t sent = moved.requests_sent();
    expect_answer(moved.string_to_atom("three"), atom_status::found, 3, "three");
    EXPECT_EQ(moved.requests_sent(), sent);  // from the cache that moved along
    atom_client assigned(options_for(transport_kind::udp));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.options().transport, transport_kind::tcp);
    expect_answer(assigned.atom_to_string(3), atom_status::found, 3, "three");
    expect_answer(assigned.associate(4, "four"), atom_status::accepted, 4, "four");
}

TEST_P(library_test, flags_a_string_cut_to_99_bytes) {
    atom_client setter(options_for(transport_kind::tcp));
    ASSERT_EQ(setter.associate(60, std::string(99, 'w')).status, atom_status::accepted);
    ASSERT_EQ(setter.associate(61, std::string(100, 'c')).status, atom_status::accepted);
    atom_client client(options(true));
    const atom_answer whole = client.atom_to_string(60);
    expect_answer(whole, atom_status::found, 60, std::string(99, 'w'));
    // Over UDP the lookup that would tell does not fit in a datagram.
    EXPECT_EQ(whole.truncated, GetParam() == transport_kind::udp);
    const atom_answer cut = client.atom_to_string(61);
    expect_answer(cut, atom_status::found, 61, std::string(99, 'c'));
    EXPECT_TRUE(cut.truncated);
    EXPECT_FALSE(client.atom_to_string(60).truncated && GetParam() == transport_kind::tcp);
}

TEST(batch_lookups, answer_as_the_single_calls_do) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client setter(options_for(transport_kind::tcp));
    for (const auto& [value, text] : std::vector<std::pair<std::int32_t, std::string>>{
             {7, "seven"}, {-1, "minus"}, {5, ""}, {61, std::string(100, 'c')}}) {
        ASSERT_EQ(setter.associate(value, text).status, atom_status::accepted) << text;
    }
    ASSERT_EQ(setter.associate(intern_candidate("taken", 0), "squatter").status,
              atom_status::accepted);
    struct batch_case {
        lookup_kind kind;
        std::string input;
    };
    const batch_case cases[] = {
        {lookup_kind::string_to_atom, "seven\nminus\nnobody\n\nsquatter\n" + std::string(100, 'c') +
                                          "\n" + std::string(300, 'x')},
        {lookup_kind::atom_to_string, "7\n-1\n5\n6\n61\nx\n"},
        {lookup_kind::intern, "seven\nminus\nfresh\ntaken\nfresh\n\n"},
    };
    const client_options options = options_for(transport_kind::tcp);
    for (const batch_case& c : cases) {
        SCOPED_TRACE(c.input);
        std::vector<atom_answer> answers;
        std::istringstream in(c.input);
        const batch_summary summary =
            lookup_batch(options, c.kind, in, [&](std::string_view, const atom_answer& a) {
                answers.push_back(a);
                return true;
            });
        EXPECT_EQ(summary.status, atom_status::found) << summary.error;
        std::istringstream keys(c.input);
        std::string key;
        atom_client single(options_for(transport_kind::tcp));
        std::size_t i = 0;
        for (; std::getline(keys, key) && i < answers.size(); ++i) {
            SCOPED_TRACE(key);
            atom_answer expected;
            if (c.kind == lookup_kind::string_to_atom) expected = single.string_to_atom(key);
            if (c.kind == lookup_kind::intern) expected = single.intern(key);
            if (c.kind == lookup_kind::atom_to_string) {
                const std::optional<std::int32_t> value = parse_value(key);
                expected = value ? single.atom_to_string(*value) : refused_before_sending("");
            }
            EXPECT_EQ(answers[i].status, expected.status) << status_name(answers[i].status);
            EXPECT_EQ(answers[i].value, expected.value);
            EXPECT_EQ(answers[i].text, expected.text);
            EXPECT_EQ(answers[i].truncated, expected.truncated);
        }
        EXPECT_EQ(i, answers.size());
        EXPECT_EQ(summary.keys, answers.size());
    }
}

TEST(library_over_tcp, keeps_long_strings_and_returns_their_first_99_bytes) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client client(options_for(transport_kind::tcp, true));
    const std::string long_text = std::string(150, 'L') + "end";
    expect_answer(client.associate(300, long_text), atom_status::accepted, 300, long_text);
    atom_client fresh(options_for(transport_kind::tcp));
    expect_answer(fresh.string_to_atom(long_text), atom_status::found, 300, long_text);
    expect_answer(fresh.atom_to_string(300), atom_status::found, 300, long_text.substr(0, 99));
    // The refusal's string is cut by the server; the value still says which.
    const atom_answer refused = fresh.associate(300, "short");
    EXPECT_EQ(refused.status, atom_status::refused);
    EXPECT_EQ(refused.value, 300);
    EXPECT_EQ(long_text.rfind(refused.text, 0), 0u) << refused.text;
    expect_answer(fresh.associate(301, long_text), atom_status::refused, 300, long_text);
}

TEST(library_over_udp, times_out_or_reports_nonsense_as_results) {
    constexpr std::uint16_t port = 5444;
    struct nonsense_case {
        std::string reply;
        atom_status status;
    };
    const nonsense_case cases[] = {{"", atom_status::timed_out}, {"Nxyz", atom_status::bad_reply}};
    for (const nonsense_case& c : cases) {
        fake_datagram_server fake(port, c.reply);
        ASSERT_TRUE(fake.bound());
        client_options options = options_for(transport_kind::udp);
        options.udp_port = port;
        options.timeout = 200ms;
        atom_client client(options);
        const atom_answer answer = client.string_to_atom("x");
        EXPECT_EQ(answer.status, c.status) << c.reply << ": " << status_name(answer.status);
        EXPECT_FALSE(answer.error.empty());
        if (c.status == atom_status::timed_out) {
            EXPECT_EQ(client.requests_sent(), static_cast<std::size_t>(options.udp_attempts));
        }
        EXPECT_EQ(fake.failures(), 0);
    }
}

TEST(library_over_tcp, times_out_on_a_server_that_never_answers) {
    // A listener that never accepts: the kernel completes the connection and
    // takes the request, and nothing ever answers.
    constexpr std::uint16_t port = 5446;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    const sockaddr_in self = loopback_address(port);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&self), sizeof self), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    client_options options = options_for(transport_kind::tcp);
    options.tcp_port = port;
    options.timeout = 200ms;
    atom_client client(options);
    const atom_answer answer = client.associate(1, "one");
    EXPECT_EQ(answer.status, atom_status::timed_out) << status_name(answer.status);
    EXPECT_NE(answer.error.find("timed out"), std::string::npos) << answer.error;
    ::close(listener);
}

TEST(library_over_udp, decides_associations_although_datagrams_are_lost) {
    auto server = start_server();
    ASSERT_TRUE(server);
    atom_client setup(options_for(transport_kind::udp));
    ASSERT_EQ(setup.associate(7, "foo").status, atom_status::accepted);
    ASSERT_EQ(setup.associate(-1, "minus").status, atom_status::accepted);

    struct loss_case {
        const char* what;
        lossy_proxy::drop_rule drop;
        int expected_drops;
        std::int32_t value;
        std::string text;
        atom_status status;
        std::int32_t in_force_value;
        std::string in_force_text;
    };
    // Made afresh for each run of the test, so every rule counts from zero
    // (also under --gtest_repeat).
    const loss_case cases[] = {
        {"lost association", drop_first(true, "A"), 1, 20, "twenty", atom_status::accepted, 20,
         "twenty"},
        {"lost association of -1", drop_first(true, "A"), 1, -1, "x", atom_status::refused, -1,
         "minus"},
        {"lost lookup reply", drop_first(false, "N"), 1, 21, "twenty-one", atom_status::accepted,
         21, "twenty-one"},
        {"lost refusal, string taken", drop_first(false, "E"), 1, 8, "foo", atom_status::refused, 7,
         "foo"},
        {"lost refusal, value taken", drop_first(false, "E"), 1, 7, "bar", atom_status::refused, 7,
         "foo"},
        {"lost refusal, string bound to -1", drop_first(false, "E"), 1, 9, "minus",
         atom_status::refused, -1, "minus"},
        {"lost refusal and lookup", drop_first(false, "EN", 2), 2, 7, "baz", atom_status::refused,
         7, "foo"},
    };
    for (const loss_case& c : cases) {
        SCOPED_TRACE(c.what);
        lossy_proxy proxy(c.drop);
        client_options options = options_for(transport_kind::udp);
        options.udp_port = lossy_proxy::port;
        options.timeout = 800ms;  // 200 ms for each of four attempts
        atom_client client(options);
        expect_answer(client.associate(c.value, c.text), c.status, c.in_force_value,
                      c.in_force_text);
        EXPECT_EQ(proxy.dropped(), c.expected_drops);
        EXPECT_EQ(proxy.failures(), 0);
    }
    expect_answer(setup.string_to_atom("twenty"), atom_status::found, 20, "twenty");
}

TEST(pipelined_load, sends_unanswered_lines_again_after_the_connection_is_cut) {
    auto server = start_server();
    ASSERT_TRUE(server);
    constexpr int lines = 5000;
    std::ostringstream text;
    for (int i = 0; i < lines; ++i) text << i << " cut " << i << "\n";
    text << "0 taken\n";  // one refusal, counted once
    std::istringstream in(text.str());

    cutting_proxy proxy(20000);  // well inside the first window of requests
    client_options options = options_for(transport_kind::tcp);
    options.tcp_port = cutting_proxy::port;
    const load_summary summary = load_pairs(options, in);
    EXPECT_EQ(summary.status, atom_status::accepted) << summary.error;
    EXPECT_EQ(proxy.connections(), 2);
    EXPECT_EQ(summary.lines, static_cast<std::size_t>(lines + 1));
    EXPECT_EQ(summary.accepted, static_cast<std::size_t>(lines));
    EXPECT_EQ(summary.refused, 1u);
    ASSERT_EQ(summary.issues.size(), 1u);
    EXPECT_EQ(summary.issues[0].in_force.text, "cut 0");

    atom_client checker(options_for(transport_kind::tcp));
    for (int i = 0; i < lines; i += 97) {
        expect_answer(checker.string_to_atom("cut " + std::to_string(i)), atom_status::found, i,
                      "cut " + std::to_string(i));
    }
}

}  // namespace
