#include "server/stream_clients.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/messages.h"

namespace {

constexpr int linger_s = 60;

int accept_nonblocking(int listener) {
    // A client's reads and writes must never wait: one slow or silent client
    // would hold up every other.
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

// For descriptors that are not (or no longer) a recorded client.
void close_descriptor(int d) {
    if (::close(d) == -1) report_system_error("close");
}

// The connection that select saw is gone already, or a signal came: not a
// shortage of descriptors, so no client is evicted for it.
bool nothing_to_accept(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED;
}

// Among the clients, the one with the oldest last arrival of data; on equal
// times the lowest descriptor. -1 when there is no client.
int least_recently_active(const server_state& s) {
    int oldest = -1;
    for (int d = 0; d < max_clients; ++d) {
        if (!slot_in_use(s, d)) continue;
        if (oldest < 0 || s.slot(d).last_activity < s.slot(oldest).last_activity) {
            oldest = d;
        }
    }
    return oldest;
}

int make_spare_descriptor() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

// Both accepts failed, so the connection is still queued and select would
// report the listener again at once, for ever. The spare descriptor makes room
// to take the connection and shut it; the client sees it closed. False when
// the connection is still queued.
bool shed_pending_connection(server_state& s) {
    if (s.spare_descriptor < 0) return false;
    close_descriptor(s.spare_descriptor);
    s.spare_descriptor = -1;
    const int d = accept_nonblocking(s.listener);
    const bool shed = d >= 0 || nothing_to_accept(errno);
    if (d >= 0) close_descriptor(d);
    s.spare_descriptor = open_spare_descriptor();
    return shed;
}

// Nothing could make room, so the connection stays queued, and select would
// report the listener on every pass for as long as no descriptor is free:
// the loop would spin, writing the messages of each failed attempt. Left
// unwatched for a moment, it costs one attempt per pause instead. The clock
// counts whole seconds, so a pause ends at the next tick after a full
// second's wait, or sooner when other traffic wakes the loop.
void pause_listener(server_state& s, int accept_error) {
    FD_CLR(s.listener, &s.watched_set);
    s.listener_paused_until = s.clock() + listener_pause_s;
    if (s.refusing_connections) return;  // said already for this shortage
    s.refusing_connections = true;
    write_err("atom_server: new connections are refused while no descriptor is free (accept: %s)\n",
              std::strerror(accept_error));
}

}  // namespace

int open_spare_descriptor() {
    const int d = make_spare_descriptor();
    if (d < 0) report_system_error("spare socket");
    return d;
}

void resume_listener_when_due(server_state& s) {
    if (s.listener_paused_until == 0 || s.clock() < s.listener_paused_until) return;
    s.listener_paused_until = 0;
    // Quietly: while descriptors are short this fails every time, and the
    // shortage has been reported.
    if (s.spare_descriptor < 0) s.spare_descriptor = make_spare_descriptor();
    if (s.listener >= 0) FD_SET(s.listener, &s.watched_set);
}

void accept_client(server_state& s) {
    int d = accept_nonblocking(s.listener);
    if (d < 0) {
        if (nothing_to_accept(errno)) return;
        write_out("accept failed");
        if (const int oldest = least_recently_active(s); oldest >= 0) {
            write_out("Closing oldest -> fd %d", oldest);
            close_client(s, oldest);
        }
        d = accept_nonblocking(s.listener);
        if (d < 0) {
            if (nothing_to_accept(errno)) return;
            const int accept_error = errno;
            write_out("accept failed twice");
            write_err("Cannot accept socket connection\n");
            if (!shed_pending_connection(s)) pause_listener(s, accept_error);
            return;
        }
    }
    s.refusing_connections = false;
    if (s.verbose) write_out("\nAccepting fd %d\n", d);

    const linger lingering{1, linger_s};
    if (::setsockopt(d, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering) == -1) {
        report_system_error("set SO_LINGER");
        close_descriptor(d);  // never recorded, so nothing else would close it
        return;
    }
    const int on = 1;
    // Replies are small and must go out at once; without it they still go
    // out, a little later, so a failure is not worth refusing the client.
    (void)::setsockopt(d, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    if (d >= max_clients) {
        write_err("Internal Error, stupid WINSOCK large FD bug.\n");
        write_err("Increase FD_SETSIZE.  Item not added to fdset.\n");
        close_descriptor(d);  // it fits neither the table nor the set
        return;
    }
    record_client(s, d, s.clock());
}

void sweep_idle_clients(server_state& s) {
    const std::int64_t now = s.clock();
    if (s.last_sweep == 0) {
        s.last_sweep = now;  // the first call only starts the clock
        return;
    }
    if (now - s.last_sweep < sweep_interval_s) return;
    s.last_sweep = now;
    for (int d = 0; d < max_clients; ++d) {
        if (slot_in_use(s, d) && now - s.slot(d).last_activity > sweep_interval_s) {
            write_out("Timeout -> fd %d", d);
            close_client(s, d);
        }
    }
}
