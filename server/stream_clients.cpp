#include "server/stream_clients.h"

#include <sys/socket.h>
#include <unistd.h>

// Stream clients are not served yet: a connection is accepted and shut at
// once, so that it does not stay queued and wake every pass.
void accept_client(server_state& s) {
    const int d = ::accept(s.listener, nullptr, nullptr);
    if (d >= 0) ::close(d);
}

void sweep_idle_clients(server_state&) {}
