#include "server/stream_requests.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "atoms/request_handler.h"
#include "server/messages.h"

namespace {

enum class read_outcome { complete, pending, failed };

// Reads up to count bytes of the frame being received. Nothing waits: the
// socket does not block, and what has not arrived yet is read on a later
// readable indication.
read_outcome read_some(server_state& s, int d, char* into, std::size_t count, std::size_t& got) {
    const ssize_t n = ::read(d, into, count);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return got == count ? read_outcome::complete : read_outcome::pending;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        got = 0;
        return read_outcome::pending;
    }
    // The client ended the connection (0) or it failed; a descriptor that is
    // no longer valid has nothing worth reporting.
    if (n < 0 && errno != EBADF) report_system_error("read");
    close_client(s, d);
    return read_outcome::failed;
}

// The frame's length byte, then its body, each read once per indication at
// most and never beyond the frame, so one frame is served per indication.
bool receive_frame(server_state& s, int d, client_slot& slot) {
    std::size_t got = 0;
    if (!slot.have_length) {
        unsigned char length = 0;
        const read_outcome r = read_some(s, d, reinterpret_cast<char*>(&length), 1, got);
        if (r != read_outcome::complete) return false;
        slot.have_length = true;
        slot.body_length = length;
        slot.body_received = 0;
    }
    if (slot.body_received < slot.body_length) {
        const read_outcome r = read_some(s, d, slot.body + slot.body_received,
                                         slot.body_length - slot.body_received, got);
        if (r == read_outcome::failed) return false;
        slot.body_received = static_cast<std::uint16_t>(slot.body_received + got);
        if (r == read_outcome::pending) return false;
    }
    return true;
}

void send_reply(server_state& s, int d) {
    char* reply = s.reply_buffer();
    const std::size_t length = std::strlen(reply);
    s.reply_frame[0] = static_cast<char>(length);  // at most max_reply_length
    // MSG_NOSIGNAL: a peer that has reset the connection gives a failed write,
    // not a SIGPIPE that would end the server.
    const ssize_t sent = ::send(d, s.reply_frame, length + 1, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(length + 1)) return;
    // A client that does not read its replies fills its socket buffer; waiting
    // for it would hold up every other client, so it is dropped.
    if (sent >= 0) errno = EWOULDBLOCK;
    report_system_error("write - handle_tcp_data");
    close_client(s, d);
}

}  // namespace

void handle_tcp_data(server_state& s, int d) {
    client_slot& slot = s.slot(d);
    slot.last_activity = s.clock();
    if (!receive_frame(s, d, slot)) return;

    slot.have_length = false;
    slot.body[slot.body_length] = '\0';  // a zero byte inside ends the request early
    if (s.verbose) write_out("TCP recd. %s\n", slot.body);
    char* reply = s.reply_buffer();
    reply[0] = '\0';
    handle_request(*s.atoms, slot.body, reply);
    if (reply[0] != '\0') send_reply(s, d);
}
