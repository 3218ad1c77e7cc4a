#include "server/start_up.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "atoms/atom_table.h"
#include "atoms/protocol.h"
#include "server/event_loop.h"
#include "server/journal.h"
#include "server/messages.h"
#include "server/server_state.h"
#include "server/stream_clients.h"

namespace {

constexpr int listen_backlog = 1024;

sockaddr_in ipv4_address(in_addr_t address, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

bool set_reuse_address(int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

// Runs only in the process that will serve, so a parent that exits after the
// fork never holds the port. Returns 0, or -1 for start_server to return as
// the process's exit status (255), the message written.
int open_listener(server_state& s) {
    // Not blocking: a connection that select saw may be gone by the accept.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        write_err("Cannot open INET socket %d\n", fd);
        return -1;
    }
    if (!set_reuse_address(fd)) {
        write_err("Failed to set 1REUSEADDR on INET socket\n");
        return -1;
    }
    const sockaddr_in any = ipv4_address(INADDR_ANY, stream_port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        write_err("Cannot bind INET socket\n");
        return -1;
    }
    if (!set_reuse_address(fd)) {
        report_system_error("Failed to set 2REUSEADDR on INET socket");
        return -1;
    }
    if (::listen(fd, listen_backlog) != 0) {
        write_err("listen failed\n");
        return -1;
    }
    s.listener = fd;
    return 0;
}

// Descriptors from FD_SETSIZE on fit neither the client table nor the select
// set, so a connection given one can only be shut, while the clients holding
// all the others stay: silent ones could lock everyone out for hours. At the
// limit the accept fails instead, and the least recently active client makes
// room. If the limit cannot be lowered, such connections are still shut.
void limit_descriptors_to_select_set() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        report_system_error("getrlimit");
        return;
    }
    if (limit.rlim_cur <= FD_SETSIZE) return;  // RLIM_INFINITY is above it
    limit.rlim_cur = FD_SETSIZE;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) report_system_error("setrlimit");
}

// A standard descriptor closed at exec would be the first one a socket gets:
// the datagram socket would become standard output, and the notices would be
// written into it (which binds it to a random port, so the bind to the
// datagram port fails). /dev/null in its place keeps every message where it
// can do no harm. False, having said so where it can, when that fails.
bool open_closed_standard_descriptors() {
    for (int d = STDIN_FILENO; d <= STDERR_FILENO; ++d) {
        if (::fcntl(d, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open, so this takes d itself.
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) {
            report_system_error("open /dev/null");
            return false;
        }
        if (null != d) {
            write_err("open /dev/null: descriptor %d, not %d\n", null, d);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, start_options& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-no_fork") == 0) {
            ++options.no_fork;
        } else if (std::strcmp(argv[i], "-quiet") == 0) {
            options.verbose = false;
            options.quiet = true;
        } else if (std::strcmp(argv[i], "-verbose") == 0) {
            options.verbose = true;
            options.quiet = false;
        } else if (std::strcmp(argv[i], "-journal") == 0) {
            if (i + 1 == argc) {
                write_err("Missing path after \"-journal\"\n");
                return false;
            }
            options.journal = argv[++i];
        } else if (std::strcmp(argv[i], "-fsync") == 0) {
            options.fsync = true;
        } else if (std::strcmp(argv[i], "-version") == 0) {
            options.version = true;
            return true;  // nothing after it matters: the server does not start
        } else {
            write_err("Unknown argument \"%s\"\n", argv[i]);
            return false;
        }
    }
    // Syncing is a promise about the journal's writes; without a journal it
    // would promise what nothing keeps.
    if (options.fsync && options.journal == nullptr) {
        write_err("\"-fsync\" needs \"-journal PATH\"\n");
        return false;
    }
    return true;
}

bool probe_running_server() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        write_err(
            "Failed to create socket for ZAV atom server connection.  Not enough File "
            "Descriptors?\n");
        return false;
    }
    const sockaddr_in local = ipv4_address(INADDR_LOOPBACK, stream_port);
    const bool answered =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    // Nothing uses it afterwards, whatever the connect did.
    if (::close(fd) == -1) report_system_error("close");
    return answered;
}

int start_server(int argc, const char* const* argv) {
    if (!open_closed_standard_descriptors()) return 1;
    start_options options;
    if (!parse_command_line(argc, argv, options)) return 1;
    if (options.version) {
        write_out("atom_server %s\n", server_version);
        return 0;
    }

    // The daemon outlives whatever reads its output: once a log pipe's reader
    // has gone, a message must fail quietly instead of raising SIGPIPE, which
    // would end the server. Replies use MSG_NOSIGNAL for the same reason.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        report_system_error("signal");
        return 1;
    }

    limit_descriptors_to_select_set();

    // Not blocking: a datagram that select saw may be dropped before the read.
    const int datagram_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (datagram_socket < 0) {
        report_system_error("socket");
        return 1;
    }
    const sockaddr_in datagram_address = ipv4_address(INADDR_ANY, datagram_port);

    if (probe_running_server()) {
        if (!options.quiet) write_out("\n\tAtom server already running\n");
        return 0;
    }

    // The loop never returns, so these live as long as the process. The
    // journal is read before the fork, so that a journal the server must not
    // start on gives the launching shell status 1, and before any socket is
    // served, so that no request sees a table still being filled. The
    // journal comes first, so that it outlives the table whose keeper it is.
    journal_file journal;
    atom_table atoms;
    if (options.journal != nullptr) {
        if (!journal.open_and_replay(options.journal, options.fsync, atoms)) return 1;
        atoms.keeper = journal.keeper();
        if (!options.quiet) {
            write_out("\n\tJournal %s: %llu association%s loaded\n", options.journal,
                      static_cast<unsigned long long>(journal.records_loaded()),
                      journal.records_loaded() == 1 ? "" : "s");
        }
    }
    if (!options.quiet) {
        write_out("\n\tNo Atom server found - ");
        write_out(options.no_fork != 0 ? "Running...\n" : "Forking server to background\n");
    }
    if (options.no_fork == 0) {
        const pid_t child = ::fork();
        if (child < 0) {
            report_system_error("fork");
            return 1;
        }
        if (child > 0) return 0;
        // Out of the launcher's session: closing the terminal that started
        // the server would otherwise send it SIGHUP and end it, table and all.
        // A child is never a process group leader, so this cannot fail but in
        // theory; should it, the server still serves.
        if (::setsid() == -1) report_system_error("setsid");
    }

    if (::bind(datagram_socket, reinterpret_cast<const sockaddr*>(&datagram_address),
               sizeof datagram_address) != 0) {
        report_system_error("bind");
        return 1;
    }
    // So that each reply leaves from the address its request was sent to;
    // without it replies still go out, from the address routing picks.
    const int on = 1;
    if (::setsockopt(datagram_socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        report_system_error("set IP_PKTINFO");
    }

    server_state s;
    init_server_state(s, atoms);
    s.verbose = options.verbose;
    atoms.verbose = options.verbose;
    atoms.trace = write_out;  // traces share the server's one way of writing
    s.datagram_socket = datagram_socket;
    if (const int status = open_listener(s); status != 0) return status;
    s.spare_descriptor = open_spare_descriptor();
    FD_SET(s.datagram_socket, &s.watched_set);
    FD_SET(s.listener, &s.watched_set);
    run_event_loop(s);
}
