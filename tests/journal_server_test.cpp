// The real binary with -journal: restarts and kill -9 lose nothing
// confirmed, damage stops the start-up, a full disk stops only the
// associations; and atom_journal's check and dump.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "atoms/journal_format.h"
#include "tests/support/file_bytes.h"
#include "tests/support/server_process.h"

namespace {

std::string fresh_path(const char* stem) {
    const std::string path = std::string("/tmp/") + stem + "_" + std::to_string(::getpid());
    ::unlink(path.c_str());
    return path;
}

std::vector<std::string> journal_args(const std::string& path) {
    return {"-no_fork", "-quiet", "-journal", path};
}

// Associates over TCP and confirms with a lookup on the same connection:
// replies come in request order, so "N<value>" means the pair is in force.
bool associate_confirmed(tcp_client& c, std::int32_t value, const std::string& text) {
    if (!c.send_frame("A" + std::to_string(value) + " " + text)) return false;
    return c.ask("S" + text) == "N" + std::to_string(value);
}

std::optional<std::string> lookup(const std::string& text) {
    tcp_client c;
    return c.ask("S" + text);
}

TEST(journal_server, a_restart_replays_every_pair) {
    const std::string path = fresh_path("journal_restart");
    {
        server_process server({.args = journal_args(path)});
        ASSERT_TRUE(server.wait_until_serving());
        tcp_client c;
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(associate_confirmed(c, i, "pair " + std::to_string(i)));
        ASSERT_TRUE(associate_confirmed(c, -5, "line\nend\\and\ttab"));
    }
    server_process server({.args = {"-no_fork", "-journal", path}});
    ASSERT_TRUE(server.wait_until_serving());
    EXPECT_NE(server.out().find("Journal " + path + ": 51 associations loaded\n"),
              std::string::npos)
        << server.out();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(lookup("pair " + std::to_string(i)), "N" + std::to_string(i));
    EXPECT_EQ(lookup("line\nend\\and\ttab"), "N-5");
    tcp_client c;
    EXPECT_EQ(c.ask("N49"), "Spair 49");
    EXPECT_EQ(c.ask("A49 another"), "E49 pair 49");
    EXPECT_EQ(server.err(), "");
    ::unlink(path.c_str());
}

// Each round pipelines a batch of associations and lookups, reads a random
// number of the lookups' replies and kills the server at once, with the rest
// of the batch in flight. Every confirmed pair must come back, and every
// pair tried is either in force with its own value or absent.
TEST(journal_server, kill_9_loses_nothing_confirmed) {
    const std::string path = fresh_path("journal_crash");
    std::mt19937 random(12345);
    std::map<std::string, std::int32_t> confirmed;
    std::map<std::string, std::int32_t> tried;
    constexpr int rounds = 5;
    constexpr int batch = 400;
    for (int round = 0; round < rounds; ++round) {
        server_process server({.args = journal_args(path)});
        ASSERT_TRUE(server.wait_until_serving()) << round << server.err();
        for (const auto& [text, value] : confirmed) {
            ASSERT_EQ(lookup(text), "N" + std::to_string(value)) << "round " << round;
        }
        tcp_client c;
        std::string frames;
        std::vector<std::pair<std::string, std::int32_t>> pairs;
        for (int i = 0; i < batch; ++i) {
            const std::int32_t value = round * 100000 + i;
            const std::string text = "crash " + std::to_string(round) + "/" + std::to_string(i);
            pairs.emplace_back(text, value);
            tried[text] = value;
            frames += frame("A" + std::to_string(value) + " " + text) + frame("S" + text);
        }
        ASSERT_TRUE(c.send_raw(frames));
        const int read = std::uniform_int_distribution<int>(0, batch)(random);
        for (int i = 0; i < read; ++i) {
            ASSERT_EQ(c.read_frame(),
                      "N" + std::to_string(pairs[static_cast<std::size_t>(i)].second));
            confirmed[pairs[static_cast<std::size_t>(i)].first] =
                pairs[static_cast<std::size_t>(i)].second;
        }
        server.kill_now();
    }
    server_process server({.args = journal_args(path)});
    ASSERT_TRUE(server.wait_until_serving());
    for (const auto& [text, value] : confirmed)
        EXPECT_EQ(lookup(text), "N" + std::to_string(value));
    for (const auto& [text, value] : tried) {
        const auto reply = lookup(text);
        EXPECT_TRUE(reply == "N" + std::to_string(value) || reply == "N-1") << text << *reply;
    }
    EXPECT_EQ(run_command({ATOM_JOURNAL_PATH, "check", path}).status, 0);
    ::unlink(path.c_str());
}

std::string journal_of(const std::vector<std::pair<std::int32_t, std::string>>& pairs) {
    std::string bytes = journal::encode_header();
    for (const auto& [value, text] : pairs) journal::append_record(bytes, value, text);
    return bytes;
}

TEST(journal_server, starts_on_a_journal_cut_at_every_offset_of_its_last_record) {
    const std::string path = fresh_path("journal_cut");
    const std::string before = journal_of({{1, "first"}, {2, "second"}});
    const std::string whole = journal_of({{1, "first"}, {2, "second"}, {3, "the last"}});
    for (std::size_t cut = before.size() + 1; cut < whole.size(); ++cut) {
        write_file(path, whole.substr(0, cut));
        server_process server({.args = journal_args(path)});
        ASSERT_TRUE(server.wait_until_serving()) << cut << server.err();
        EXPECT_EQ(server.err(),
                  "journal " + path + ": torn last record: " + std::to_string(cut - before.size()) +
                      " bytes dropped at offset " + std::to_string(before.size()) + "\n");
        EXPECT_EQ(lookup("first"), "N1");
        EXPECT_EQ(lookup("second"), "N2");
        EXPECT_EQ(lookup("the last"), "N-1");
        EXPECT_EQ(read_file(path), before);
    }
    ::unlink(path.c_str());
}

struct refusal {
    const char* name;
    std::string bytes;
    std::string message;
};

TEST(journal_server, refuses_to_start_on_what_it_cannot_explain) {
    const std::string path = fresh_path("journal_refused");
    std::string bad_middle = journal_of({{1, "first"}, {2, "second"}, {3, "third"}});
    bad_middle[16 + 15 + 8] ^= 1;
    std::string newer = journal_of({{1, "first"}});
    newer[8] = 7;
    const std::vector<refusal> cases = {
        {"bad checksum", bad_middle, "bad checksum at offset 31"},
        {"foreign", "not a journal at all\n", "not an atom journal at offset 0"},
        {"newer", newer, "a newer journal format at offset 0"},
        {"one-to-one", journal_of({{1, "first"}, {1, "again"}}),
         "the record at offset 31 breaks the one-to-one rule: its string or value is taken by "
         "an earlier record"},
    };
    for (const refusal& r : cases) {
        write_file(path, r.bytes);
        // In fork mode too: the journal is read before the fork, so the
        // launching shell sees the failure.
        server_process server({.args = {"-quiet", "-journal", path}});
        EXPECT_EQ(server.wait_exit(), 1) << r.name;
        EXPECT_EQ(server.err(), "journal " + path + ": " + r.message + "\n") << r.name;
        EXPECT_EQ(read_file(path), r.bytes) << r.name;
        EXPECT_EQ(find_server_pid(), std::nullopt) << r.name;
    }
    ::unlink(path.c_str());
}

TEST(journal_server, bad_command_lines_are_usage_errors) {
    struct bad {
        std::vector<std::string> args;
        std::string err;
    };
    for (const bad& b : {bad{{"-no_fork", "-journal"}, "Missing path after \"-journal\"\n"},
                         bad{{"-no_fork", "-fsync"}, "\"-fsync\" needs \"-journal PATH\"\n"}}) {
        server_process server({.args = b.args});
        EXPECT_EQ(server.wait_exit(), 1) << b.args.back();
        EXPECT_EQ(server.err(), b.err);
        EXPECT_EQ(server.out(), "");
    }
}

// The lock outlives the launcher's exit (the child shares its open file), and
// a server in another network namespace, where the probe finds no server, is
// refused by it.
TEST(journal_server, a_second_server_in_another_namespace_is_refused) {
    const std::string path = fresh_path("journal_locked");
    server_process launcher({.args = {"-quiet", "-journal", path}});
    ASSERT_EQ(launcher.wait_exit(), 0);
    ASSERT_TRUE(launcher.wait_until_serving());
    const command_result second = run_command(
        {"/usr/bin/unshare", "-rn", "/bin/sh", "-c",
         "PATH=$PATH:/usr/sbin:/sbin; ip link set lo up && exec \"$0\" -no_fork -journal \"$1\"",
         ATOM_SERVER_PATH, path},
        {}, 10s);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "journal " + path + ": in use by another server (locked)\n");
    EXPECT_EQ(lookup("anything"), "N-1");  // the first one still serves
    if (const auto pid = find_server_pid()) ::kill(*pid, SIGKILL);
    ::unlink(path.c_str());
}

// A small tmpfs, mounted in the test's own mount namespace, filled up.
TEST(journal_server, a_full_disk_stops_only_the_associations) {
    char dir[] = "/tmp/journal_full_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    ASSERT_EQ(::mount("tmpfs", dir, "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    const std::string path = std::string(dir) + "/journal";
    const std::string filler = std::string(dir) + "/filler";
    server_process server({.args = journal_args(path)});
    ASSERT_TRUE(server.wait_until_serving()) << server.err();
    tcp_client c;
    ASSERT_TRUE(associate_confirmed(c, 1, "before the disk filled"));
    {
        std::ofstream fill(filler, std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && fill; ++i) fill.write(block.data(), block.size()), fill.flush();
    }
    // The journal's last page may still have room: associate until one fails.
    const std::string padding(200, 'p');
    int failed_at = -1;
    for (int i = 0; i < 100 && failed_at < 0; ++i) {
        if (!associate_confirmed(c, 1000 + i, padding + std::to_string(i))) failed_at = i;
    }
    ASSERT_GE(failed_at, 0);
    EXPECT_EQ(c.ask("S" + padding + std::to_string(failed_at)), "N-1");
    EXPECT_EQ(c.ask("N" + std::to_string(1000 + failed_at)), "S");
    EXPECT_TRUE(server.wait_for_err(
        "associate: journal: No space left on device: 1 association not made\n"))
        << server.err();
    EXPECT_EQ(c.ask("Sbefore the disk filled"), "N1");  // lookups go on
    EXPECT_EQ(c.ask("P"), "R");
    ASSERT_EQ(::unlink(filler.c_str()), 0);
    ASSERT_TRUE(associate_confirmed(c, 1000 + failed_at, padding + std::to_string(failed_at)));
    server.kill_now();
    // Nothing broken was left in the file: it replays whole.
    const command_result check = run_command({ATOM_JOURNAL_PATH, "check", path});
    EXPECT_EQ(check.status, 0) << check.out;
    server_process again({.args = journal_args(path)});
    ASSERT_TRUE(again.wait_until_serving()) << again.err();
    EXPECT_EQ(lookup(padding + std::to_string(failed_at)), "N" + std::to_string(1000 + failed_at));
    again.kill_now();
    ::umount(dir);
    ::rmdir(dir);
}

TEST(atom_journal, check_reports_and_exits_by_the_state_of_the_file) {
    const std::string path = fresh_path("journal_check");
    const std::string whole = journal_of({{1, "a"}, {2, "b"}});
    struct check_case {
        std::string bytes;
        int status;
        std::string out;
    };
    std::string bad = whole;
    bad[16 + 6] = 'x';
    for (const check_case& k :
         {check_case{whole, 0, "records 2\nbytes 38\nlast good offset 38\nclean\n"},
          check_case{whole.substr(0, 30), 1,
                     "records 1\nbytes 30\nlast good offset 27\ndamaged: torn last record at "
                     "offset 27\n"},
          check_case{bad, 1,
                     "records 0\nbytes 38\nlast good offset 16\ndamaged: bad checksum at offset "
                     "16\n"}}) {
        write_file(path, k.bytes);
        const command_result r = run_command({ATOM_JOURNAL_PATH, "check", path});
        EXPECT_EQ(r.status, k.status);
        EXPECT_EQ(r.out, k.out);
        EXPECT_EQ(read_file(path), k.bytes);  // never changed
    }
    EXPECT_EQ(run_command({ATOM_JOURNAL_PATH, "check", path + ".missing"}).status, 2);
    EXPECT_EQ(run_command({ATOM_JOURNAL_PATH, "verify", path}).status, 2);
    EXPECT_EQ(run_command({ATOM_JOURNAL_PATH, "--help"}).status, 0);
    ::unlink(path.c_str());
}

// Dump, load into an empty server with a journal of its own, dump again.
TEST(atom_journal, a_dump_loaded_and_dumped_again_is_identical) {
    const std::string first = fresh_path("journal_dump_first");
    const std::string second = fresh_path("journal_dump_second");
    std::string every_byte;
    for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
    write_file(first, journal_of({{7, "plain"},
                                  {-1, "tab\tnewline\ncr\rbackslash\\"},
                                  {0, ""},
                                  {2147483647, every_byte.substr(0, 200)},
                                  {-2147483647 - 1, every_byte.substr(200)}}));
    const command_result dumped = run_command({ATOM_JOURNAL_PATH, "dump", first});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_EQ(dumped.out.substr(0, 8), "7\tplain\n");
    EXPECT_NE(dumped.out.find("-1\ttab\\tnewline\\ncr\\rbackslash\\\\\n"), std::string::npos);
    server_process server({.args = journal_args(second)});
    ASSERT_TRUE(server.wait_until_serving());
    const command_result loaded = run_command({ATOM_CLIENT_PATH, "load", "--escaped"}, dumped.out);
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    server.kill_now();
    const command_result again = run_command({ATOM_JOURNAL_PATH, "dump", second});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, dumped.out);
    ::unlink(first.c_str());
    ::unlink(second.c_str());
}

}  // namespace
