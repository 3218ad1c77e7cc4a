// atom_client: the command-line face of the client library. The bare answer
// goes to standard output, messages to standard error; the exit status says
// how it went, so that scripts need not read either.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/atom_client.h"
#include "client/load_progress.h"
#include "client/pair_loader.h"
#include "client/request_text.h"

namespace {

constexpr int exit_done = 0;         // found, accepted, alive
constexpr int exit_no = 1;           // not found, refused
constexpr int exit_usage = 2;        // the command line or a request cannot be used
constexpr int exit_unreachable = 3;  // no server, no answer, or an unreadable one

constexpr const char* usage_text =
    "usage: atom_client [--udp | --tcp] [--host HOST] [--timeout SECONDS] COMMAND\n"
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
    "  load [FILE]          binds every \"VALUE STRING\" line of FILE (or of standard\n"
    "                       input, also for FILE \"-\"): the value, one blank or tab,\n"
    "                       then the string, the rest of the line byte for byte.\n"
    "                       Always over TCP, pipelined. A progress line appears on\n"
    "                       standard error when it takes longer than a second; at the\n"
    "                       end, each line not loaded (with the association in force\n"
    "                       for a refusal) and a summary.\n"
    "\n"
    "options:\n"
    "  --udp                datagrams to port 4444 (the default, except for load)\n"
    "  --tcp                one connection to port 4445\n"
    "  --host HOST          the server's address or name (default 127.0.0.1)\n"
    "  --timeout SECONDS    how long a command waits for the server (default 2);\n"
    "                       over UDP lost datagrams are sent again within this time\n"
    "  --help               this text\n"
    "\n"
    "Answers go to standard output, messages to standard error.\n"
    "exit status:\n"
    "  0  found, accepted (also when the pair was there already), alive;\n"
    "     load: every line loaded\n"
    "  1  not found, or refused: the association in force is on standard error;\n"
    "     load: some line refused or malformed\n"
    "  2  usage error, or a request the server cannot take (a string too long for\n"
    "     the transport: 98 bytes over UDP, about 240 over TCP)\n"
    "  3  server unreachable, no answer within the time-out, or an unreadable reply\n"
    "\n"
    "The server cannot tell an unknown string from one bound to -1, nor an unknown\n"
    "value from one bound to the empty string; atom_client asks again to tell them\n"
    "apart. Only the first 99 bytes of a string come back from the server.\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "atom_client: %s\n(atom_client --help describes the usage)\n",
                 message.c_str());
    return exit_usage;
}

void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// Reports an answer that is not the one hoped for, and returns the status.
int report(const atom_answer& answer, const std::string& asked) {
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
                std::fprintf(stderr, "atom_client: refused: in force: %d %s\n", answer.value,
                             answer.text.c_str());
            }
            return exit_no;
        case atom_status::bad_request:
            std::fprintf(stderr, "atom_client: not sent: %s\n", answer.error.c_str());
            return exit_usage;
        case atom_status::unreachable:
        case atom_status::timed_out:
        case atom_status::bad_reply:
            std::fprintf(stderr, "atom_client: %s: %s\n", status_name(answer.status),
                         answer.error.c_str());
            return exit_unreachable;
    }
    return exit_unreachable;
}

int run_load(const client_options& options, const std::vector<std::string>& args) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (!args.empty() && args[0] != "-") {
        file.open(args[0], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "atom_client: cannot open %s: %s\n", args[0].c_str(),
                         std::strerror(errno));
            return exit_usage;
        }
        in = &file;
    }
    std::ios::sync_with_stdio(false);
    load_progress progress;
    auto show = [](const std::string& text) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    };
    const load_summary summary =
        load_pairs(options, *in, [&](const load_summary& s) { show(progress.update(s)); });
    show(progress.finish());
    for (const load_issue& issue : summary.issues) {
        if (issue.why.empty()) {
            std::fprintf(stderr, "line %zu: %d %s refused; in force: %d %s\n", issue.line,
                         issue.pair.value, issue.pair.text.c_str(), issue.in_force.value,
                         issue.in_force.text.c_str());
        } else {
            std::fprintf(stderr, "line %zu: %s: %s\n", issue.line, issue.why.c_str(),
                         issue.pair.text.c_str());
        }
    }
    std::fprintf(stderr, "%zu lines: %zu accepted, %zu refused, %zu malformed\n", summary.lines,
                 summary.accepted, summary.refused, summary.malformed);
    if (summary.status != atom_status::accepted) {
        std::fprintf(stderr, "atom_client: load stopped: %s: %s\n", status_name(summary.status),
                     summary.error.c_str());
        return exit_unreachable;
    }
    return summary.refused + summary.malformed == 0 ? exit_done : exit_no;
}

struct command_arity {
    const char* name;
    std::size_t min_args;
    std::size_t max_args;
};

constexpr command_arity commands[] = {
    {"ping", 0, 0}, {"get", 1, 1}, {"name", 1, 1}, {"set", 2, 2}, {"intern", 1, 1}, {"load", 0, 1},
};

}  // namespace

int main(int argc, char** argv) {
    client_options options;
    bool transport_chosen = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(usage_text, stdout);
            return exit_done;
        } else if (option == "--udp" || option == "--tcp") {
            options.transport = option == "--udp" ? transport_kind::udp : transport_kind::tcp;
            transport_chosen = true;
        } else if (option == "--host") {
            if (++i == argc) return usage_error("--host needs a HOST");
            options.host = argv[i];
        } else if (option == "--timeout") {
            if (++i == argc) return usage_error("--timeout needs a number of SECONDS");
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(argv[i], &end);
            if (errno != 0 || end == argv[i] || *end != '\0' || !(seconds > 0) || seconds > 86400) {
                return usage_error(std::string("--timeout needs a positive number of seconds, "
                                               "not \"") +
                                   argv[i] + "\"");
            }
            options.timeout =
                std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
        } else {
            return usage_error("unknown option " + option);
        }
    }
    if (i == argc) return usage_error("no COMMAND given");
    const std::string command = argv[i++];
    const std::vector<std::string> args(argv + i, argv + argc);
    const command_arity* arity = nullptr;
    for (const command_arity& c : commands) {
        if (command == c.name) arity = &c;
    }
    if (arity == nullptr) return usage_error("unknown command \"" + command + "\"");
    if (args.size() < arity->min_args || args.size() > arity->max_args) {
        return usage_error("wrong number of arguments for " + command);
    }

    if (command == "load") {
        if (transport_chosen && options.transport == transport_kind::udp) {
            return usage_error("load works over TCP only");
        }
        options.transport = transport_kind::tcp;
        return run_load(options, args);
    }

    // A single command needs no cache: nothing is asked twice.
    options.cache = false;
    atom_client client(options);
    if (command == "ping") {
        const atom_answer answer = client.ping();
        if (answer.status == atom_status::alive) print_line("alive");
        return report(answer, "");
    }
    if (command == "get" || command == "intern") {
        const atom_answer answer =
            command == "get" ? client.string_to_atom(args[0]) : client.intern(args[0]);
        if (answer.status == atom_status::found) print_line(std::to_string(answer.value));
        return report(answer, args[0]);
    }
    const std::optional<std::int32_t> value = parse_value(args[0]);
    if (!value)
        return usage_error("VALUE must be a decimal 32-bit number, not \"" + args[0] + "\"");
    if (command == "name") {
        const atom_answer answer = client.atom_to_string(*value);
        if (answer.status == atom_status::found) print_line(answer.text);
        return report(answer, args[0]);
    }
    return report(client.associate(*value, args[1]), args[1]);
}
