// atom_client: the command-line face of the client library. The bare answer
// goes to standard output, messages to standard error; the exit status says
// how it went, so that scripts need not read either.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "client/atom_client.h"
#include "client/load_progress.h"
#include "client/request_text.h"
#include "client/text_escaping.h"

using namespace atom;
using atom::detail::load_progress;
using atom::detail::parse_value;

namespace {

constexpr int exit_done = 0;         // found, accepted, alive
constexpr int exit_no = 1;           // not found, refused
constexpr int exit_usage = 2;        // the command line, the input or a request cannot be used
constexpr int exit_unreachable = 3;  // no server, no answer, or an unreadable one
constexpr int exit_output = 4;       // the answer could not be written

constexpr const char* usage_text =
    "usage: atom_client [OPTION]... COMMAND [ARGUMENT]... [OPTION]...\n"
    "\n"
    "Talks to atom_server, which keeps a table of atoms: strings bound one to one\n"
    "to 32-bit signed values, never changed once made.\n"
    "\n"
    "commands:\n"
    "  ping                 is the server alive? prints \"alive\"\n"
    "  get STRING           prints the value bound to STRING\n"
    "  name VALUE           prints the string bound to VALUE\n"
    "  set VALUE STRING     binds STRING to VALUE\n"
    "  intern STRING        prints STRING's value, binding a new one if it has none\n"
    "  get | name | intern  with no argument or \"-\": batch lookups, one key a line\n"
    "                       from standard input, each answered by a \"VALUE<TAB>STRING\"\n"
    "                       line in input order; a key not found (or not usable) is\n"
    "                       written back alone, with a message on standard error.\n"
    "                       Always over TCP, pipelined.\n"
    "  load [FILE]          binds every \"VALUE STRING\" line of FILE (or of standard\n"
    "                       input, also for FILE \"-\"): the value, one blank or tab,\n"
    "                       then the string, the rest of the line byte for byte.\n"
    "                       Always over TCP, pipelined; lines are sent as they come.\n"
    "                       On a terminal a progress line appears when it takes\n"
    "                       longer than a second; at the end, each line not loaded\n"
    "                       (with the association in force for a refusal) and a\n"
    "                       summary.\n"
    "\n"
    "options (also after the command; \"--\" ends them; --opt=value works too):\n"
    "  --udp                datagrams to port 4444 (the default for single commands)\n"
    "  --tcp                one connection to port 4445\n"
    "  --host HOST          the server's address or name (default 127.0.0.1)\n"
    "  --port N             the port of the transport in use\n"
    "  --timeout SECONDS    how long a command waits for the server (default 2);\n"
    "                       over UDP lost datagrams are sent again within this time\n"
    "  --escaped            load and batch lookups: strings in input lines are\n"
    "                       escaped (\\\\ \\t \\n \\r \\xHH), and batch output strings are\n"
    "                       written so, one line each whatever they hold; for\n"
    "                       single commands STRING is escaped, and so is name's\n"
    "                       answer\n"
    "  --keep-cr            load and batch lookups: keep a carriage return that ends\n"
    "                       a line (by default it is dropped, for CRLF files)\n"
    "  --quiet              load: no progress line and no summary\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "Answers go to standard output, messages to standard error.\n"
    "exit status:\n"
    "  0  found, accepted (also when the pair was there already), alive;\n"
    "     load and batches: every line done\n"
    "  1  not found, or refused: the association in force is on standard error;\n"
    "     load and batches: some line refused or not found\n"
    "  2  usage error, unreadable input, or a request the server cannot take (a\n"
    "     string too long for the transport: 98 bytes over UDP, 254 over TCP; intern\n"
    "     gives a value to strings of at most 87 bytes over UDP, 243 over TCP)\n"
    "  3  server unreachable, no answer within the time-out, or an unreadable reply\n"
    "  4  the answer could not be written to standard output\n"
    "\n"
    "The server cannot tell an unknown string from one bound to -1, nor an unknown\n"
    "value from one bound to the empty string; atom_client asks again to tell them\n"
    "apart. Only the first 99 bytes of a string come back from the server: name\n"
    "says so on standard error when a string is longer.\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "atom_client: %s\n(atom_client --help describes the usage)\n",
                 message.c_str());
    return exit_usage;
}

// Writes to standard output; false once a write has failed.
bool write_out(std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

bool print_line(std::string_view text) { return write_out(text) && write_out("\n"); }

// Standard output is flushed and closed here, so that a failed write (a full
// disk, a closed pipe) is seen and told, not lost in exit.
int finish_output(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "atom_client: write to standard output: %s\n", std::strerror(errno));
        return exit_output;
    }
    if (std::fclose(stdout) != 0) {
        std::fprintf(stderr, "atom_client: close standard output: %s\n", std::strerror(errno));
        return exit_output;
    }
    return status;
}

struct tool_options {
    client_options client;
    bool transport_chosen = false;
    std::optional<std::uint16_t> port;
    line_format format;
    bool quiet = false;
};

// After a UDP time-out: does the server answer over TCP? A firewall or a
// server reached through a NAT often lets only one of the two through.
std::string tcp_hint(const tool_options& t) {
    if (t.client.transport != transport_kind::udp) return {};
    client_options probe = t.client;
    probe.transport = transport_kind::tcp;
    probe.timeout = std::chrono::milliseconds(500);
    if (atom_client(probe).ping().status != atom_status::alive) return {};
    return " (the server answers over TCP: try --tcp)";
}

// Reports an answer that is not the one hoped for, and returns the status.
int report(const atom_answer& answer, const std::string& asked, const tool_options& t) {
    switch (answer.status) {
        case atom_status::found:
        case atom_status::accepted:
        case atom_status::alive:
            return exit_done;
        case atom_status::not_found:
            std::fprintf(stderr, "atom_client: not found: %s\n", asked.c_str());
            return exit_no;
        case atom_status::refused:
            if (!answer.error.empty()) {
                std::fprintf(stderr, "atom_client: refused: %s\n", answer.error.c_str());
            } else {
                std::fprintf(stderr, "atom_client: refused: in force: %d %s%s\n", answer.value,
                             answer.text.c_str(), answer.truncated ? "..." : "");
            }
            return exit_no;
        case atom_status::bad_request:
            std::fprintf(stderr, "atom_client: not sent: %s\n", answer.error.c_str());
            if (t.client.transport == transport_kind::udp &&
                answer.error.find("long") != std::string::npos &&
                answer.error.find("TCP") == std::string::npos) {
                std::fprintf(stderr, "atom_client: --tcp takes longer strings\n");
            }
            return exit_usage;
        case atom_status::timed_out:
            std::fprintf(stderr, "atom_client: %s: %s%s\n", status_name(answer.status),
                         answer.error.c_str(), tcp_hint(t).c_str());
            return exit_unreachable;
        case atom_status::unreachable:
        case atom_status::bad_reply:
            std::fprintf(stderr, "atom_client: %s: %s\n", status_name(answer.status),
                         answer.error.c_str());
            return exit_unreachable;
    }
    return exit_unreachable;
}

void warn_truncated(std::int32_t value) {
    std::fprintf(stderr,
                 "atom_client: the string of %d is longer than the 99 bytes the server returns; "
                 "only those are written\n",
                 value);
}

// The input of load: a file by name, or standard input. -1 after a message.
int open_input(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "-") return STDIN_FILENO;
    const int fd = ::open(args[0].c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "atom_client: cannot open %s: %s\n", args[0].c_str(),
                     std::strerror(errno));
    }
    return fd;
}

int run_load(const tool_options& t, const std::vector<std::string>& args) {
    const int fd = open_input(args);
    if (fd < 0) return exit_usage;
    const bool show_progress = !t.quiet && ::isatty(STDERR_FILENO) == 1;
    load_progress progress;
    auto show = [](const std::string& text) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    };
    load_progress_fn on_progress;
    if (show_progress) on_progress = [&](const load_summary& s) { show(progress.update(s)); };
    const load_summary summary = load_pairs(t.client, fd, on_progress, t.format);
    if (show_progress) show(progress.finish());
    if (fd != STDIN_FILENO) ::close(fd);
    for (const load_issue& issue : summary.issues) {
        const std::string text = t.format.escaped ? atom::escape(issue.pair.text) : issue.pair.text;
        if (issue.why.empty()) {
            const std::string in_force =
                t.format.escaped ? atom::escape(issue.in_force.text) : issue.in_force.text;
            std::fprintf(stderr, "line %zu: %d %s refused; in force: %d %s\n", issue.line,
                         issue.pair.value, text.c_str(), issue.in_force.value, in_force.c_str());
        } else {
            std::fprintf(stderr, "line %zu: %s: %s\n", issue.line, issue.why.c_str(),
                         issue.pair.text.c_str());
        }
    }
    if (!t.quiet) {
        std::fprintf(stderr, "%zu lines: %zu accepted, %zu refused, %zu malformed\n", summary.lines,
                     summary.accepted, summary.refused, summary.malformed);
    }
    if (summary.status == atom_status::bad_request) {
        std::fprintf(stderr, "atom_client: load stopped: cannot read %s: %s\n",
                     args.empty() ? "-" : args[0].c_str(), summary.error.c_str());
        return exit_usage;
    }
    if (summary.status != atom_status::accepted) {
        std::fprintf(stderr, "atom_client: load stopped: %s: %s\n", status_name(summary.status),
                     summary.error.c_str());
        return exit_unreachable;
    }
    return summary.refused + summary.malformed == 0 ? exit_done : exit_no;
}

int run_batch(const tool_options& t, const std::string& command) {
    const lookup_kind kind = command == "get"    ? lookup_kind::string_to_atom
                             : command == "name" ? lookup_kind::atom_to_string
                                                 : lookup_kind::intern;
    bool write_failed = false;
    std::string line;
    const batch_summary summary = lookup_batch(
        t.client, kind, STDIN_FILENO,
        [&](std::string_view key, const atom_answer& answer) {
            line.clear();
            if (answer.status == atom_status::found) {
                line = std::to_string(answer.value);
                line += '\t';
                line += t.format.escaped ? atom::escape(answer.text) : answer.text;
                if (answer.truncated) warn_truncated(answer.value);
            } else {
                line = key;
                if (answer.status == atom_status::bad_request) {
                    std::fprintf(stderr, "atom_client: not sent: %s: %s\n",
                                 std::string(key).c_str(), answer.error.c_str());
                } else if (answer.status == atom_status::refused) {
                    std::fprintf(stderr, "atom_client: refused: %s: %s\n", std::string(key).c_str(),
                                 answer.error.c_str());
                } else {
                    std::fprintf(stderr, "atom_client: not found: %s\n", std::string(key).c_str());
                }
            }
            line += '\n';
            write_failed = !write_out(line);
            return !write_failed;
        },
        t.format);
    if (write_failed) return finish_output(exit_output);
    if (summary.status == atom_status::bad_request) {
        std::fprintf(stderr, "atom_client: %s stopped: cannot read standard input: %s\n",
                     command.c_str(), summary.error.c_str());
        return finish_output(exit_usage);
    }
    if (summary.status != atom_status::found) {
        std::fprintf(stderr, "atom_client: %s stopped: %s: %s\n", command.c_str(),
                     status_name(summary.status), summary.error.c_str());
        return finish_output(exit_unreachable);
    }
    const int status = summary.malformed > 0   ? exit_usage
                       : summary.not_found > 0 ? exit_no
                                               : exit_done;
    return finish_output(status);
}

struct command_arity {
    const char* name;
    std::size_t min_args;
    std::size_t max_args;
};

constexpr command_arity commands[] = {
    {"ping", 0, 0}, {"get", 0, 1}, {"name", 0, 1}, {"set", 2, 2}, {"intern", 0, 1}, {"load", 0, 1},
};

enum class parsed { go, done, failed };

// One option, with its value from "=value" or the next argument.
parsed take_option(tool_options& t, const std::string& arg, int& i, int argc, char** argv,
                   int& status) {
    std::string name = arg;
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
    }
    auto flag = [&](bool& target) {
        if (value) {
            status = usage_error(name + " takes no value");
            return parsed::failed;
        }
        target = true;
        return parsed::go;
    };
    auto needs = [&](const char* what) -> bool {
        if (value) return true;
        if (i + 1 >= argc) {
            status = usage_error(name + " needs " + what);
            return false;
        }
        value = argv[++i];
        return true;
    };
    bool ignored = false;
    if (name == "-h" || name == "--help") {
        std::fputs(usage_text, stdout);
        status = finish_output(exit_done);
        return parsed::done;
    }
    if (name == "--version") {
        std::printf("atom_client %s\n", ATOM_CLIENT_VERSION);
        status = finish_output(exit_done);
        return parsed::done;
    }
    if (name == "--udp" || name == "--tcp") {
        if (flag(ignored) == parsed::failed) return parsed::failed;
        t.client.transport = name == "--udp" ? transport_kind::udp : transport_kind::tcp;
        t.transport_chosen = true;
        return parsed::go;
    }
    if (name == "--escaped") return flag(t.format.escaped);
    if (name == "--keep-cr") return flag(t.format.keep_cr);
    if (name == "--quiet") return flag(t.quiet);
    if (name == "--host") {
        if (!needs("a HOST")) return parsed::failed;
        t.client.host = *value;
        return parsed::go;
    }
    if (name == "--port") {
        if (!needs("a port number")) return parsed::failed;
        const std::optional<std::int32_t> port = parse_value(*value);
        if (!port || *port < 1 || *port > 65535) {
            status =
                usage_error("--port needs a port number from 1 to 65535, not \"" + *value + "\"");
            return parsed::failed;
        }
        t.port = static_cast<std::uint16_t>(*port);
        return parsed::go;
    }
    if (name == "--timeout") {
        if (!needs("a number of SECONDS")) return parsed::failed;
        char* end = nullptr;
        errno = 0;
        const double seconds = std::strtod(value->c_str(), &end);
        if (errno != 0 || end == value->c_str() || *end != '\0' || !(seconds > 0) ||
            seconds > 86400) {
            status =
                usage_error("--timeout needs a positive number of seconds, not \"" + *value + "\"");
            return parsed::failed;
        }
        t.client.timeout =
            std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
        return parsed::go;
    }
    status = usage_error("unknown option " + name);
    return parsed::failed;
}

}  // namespace

int main(int argc, char** argv) {
    tool_options t;
    std::vector<std::string> words;  // the command and its arguments
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // "-" alone is an argument (standard input); so is anything after "--".
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        // A negative VALUE ("name -5", "set -1 x") is an argument, not an option.
        if (!words.empty() && parse_value(arg)) {
            words.push_back(arg);
            continue;
        }
        int status = exit_done;
        const parsed p = take_option(t, arg, i, argc, argv, status);
        if (p != parsed::go) return status;
    }
    if (words.empty()) return usage_error("no COMMAND given");
    const std::string command = words[0];
    const std::vector<std::string> args(words.begin() + 1, words.end());
    const command_arity* arity = nullptr;
    for (const command_arity& c : commands) {
        if (command == c.name) arity = &c;
    }
    if (arity == nullptr) return usage_error("unknown command \"" + command + "\"");
    if (args.size() < arity->min_args || args.size() > arity->max_args) {
        return usage_error("wrong number of arguments for " + command);
    }

    const bool batch = command != "load" && command != "ping" && command != "set" &&
                       (args.empty() || args[0] == "-");
    if (command == "load" || batch) {
        if (t.transport_chosen && t.client.transport == transport_kind::udp) {
            return usage_error(command + (batch ? " from standard input" : "") +
                               " works over TCP only");
        }
        t.client.transport = transport_kind::tcp;
    }
    if (t.port) {
        (t.client.transport == transport_kind::udp ? t.client.udp_port : t.client.tcp_port) =
            *t.port;
    }
    if (command == "load") return finish_output(run_load(t, args));
    if (batch) return run_batch(t, command);

    // With --escaped a single command's STRING is escaped too, and so is the
    // string name prints.
    std::vector<std::string> strings = args;
    if (t.format.escaped && (command == "get" || command == "intern" || command == "set")) {
        std::string& text = strings.back();
        std::string why;
        std::optional<std::string> plain = atom::unescape(text, &why);
        if (!plain) return usage_error("STRING is not validly escaped: " + why);
        text = std::move(*plain);
    }

    // A single command needs no cache: nothing is asked twice.
    t.client.cache = false;
    atom_client client(t.client);
    int status = exit_done;
    if (command == "ping") {
        const atom_answer answer = client.ping();
        if (answer.status == atom_status::alive && !print_line("alive")) status = exit_output;
        if (status == exit_done) status = report(answer, "", t);
    } else if (command == "get" || command == "intern") {
        const atom_answer answer =
            command == "get" ? client.string_to_atom(strings[0]) : client.intern(strings[0]);
        if (answer.status == atom_status::found) print_line(std::to_string(answer.value));
        status = report(answer, args[0], t);
    } else {
        const std::optional<std::int32_t> value = parse_value(args[0]);
        if (!value) {
            return usage_error("VALUE must be a decimal 32-bit number, not \"" + args[0] + "\"");
        }
        if (command == "name") {
            const atom_answer answer = client.atom_to_string(*value);
            if (answer.status == atom_status::found) {
                print_line(t.format.escaped ? atom::escape(answer.text) : answer.text);
                if (answer.truncated) warn_truncated(*value);
            }
            status = report(answer, args[0], t);
        } else {
            status = report(client.associate(*value, strings[1]), args[1], t);
        }
    }
    return finish_output(status);
}
