// Fuzzes the stream path: arbitrary bytes, cut into arbitrary pieces, arrive
// on a real connection (one end of a socket pair, recorded as a client as
// accept_client would) and the loop serves them through run_one_pass. The
// frames the client gets back must be exactly the replies the model of the
// request language gives to the whole frames sent so far, and the server's
// record of the client must stay consistent. Input: a flags byte (bit 0 the
// trace flag, bit 1 the client ends the connection at the end), then pieces,
// each a length byte and that many bytes.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "server/event_loop.h"
#include "server/server_state.h"
#include "tests/fuzz/request_model.h"

namespace {

std::int64_t fixed_clock() { return 1'000'000; }

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// The client's side of the exchange: what it has sent, and what the model
// says the server must have answered to it so far.
struct expected_stream {
    model_table model;
    std::string sent;
    std::size_t parsed = 0;
    std::string replies;  // framed

    void add(const std::uint8_t* bytes, std::size_t count) {
        sent.append(reinterpret_cast<const char*>(bytes), count);
        while (parsed < sent.size()) {
            const std::size_t length = static_cast<unsigned char>(sent[parsed]);
            if (sent.size() - parsed - 1 < length) break;
            // A zero byte inside a body ends the request.
            const std::string body = sent.substr(parsed + 1, length);
            const std::string answer = model.answer(body.substr(0, body.find('\0')));
            if (!answer.empty()) replies += static_cast<char>(answer.size()) + answer;
            parsed += 1 + length;
        }
    }
};

void check_client_record(const server_state& s, int d) {
    const bool in_use = slot_in_use(s, d);
    fuzz_check(in_use == (FD_ISSET(d, &s.watched_set) != 0),
               "watched set and client table disagree");
    if (!in_use) return;
    const client_slot& slot = s.slot(d);
    // Without a length byte the count is stale and unused: the next length
    // byte resets it.
    fuzz_check(!slot.have_length || slot.body_received <= slot.body_length,
               "more body received than announced");
}

// Serves the client for as long as it has something readable; every pass
// consumes at least one byte or closes it, so the count bounds the loop.
void serve(server_state& s, int d, std::size_t bound) {
    for (std::size_t pass = 0; pass < bound; ++pass) {
        // With the client gone nothing is watched and select would wait an hour.
        if (!slot_in_use(s, d) || !readable(d)) return;
        run_one_pass(s);
        check_client_record(s, d);
    }
    fuzz_check(!slot_in_use(s, d) || !readable(d), "the client is still readable after every pass");
}

void read_replies(int peer, std::string& received) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(peer, buffer, sizeof buffer);
        if (n <= 0) return;
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    atom_table atoms;
    // On the heap, so that a write beyond its buffers is caught; made once,
    // since its client table is large and every input frees its one slot.
    static const std::unique_ptr<server_state> s = [&atoms] {
        auto made = std::make_unique<server_state>();
        init_server_state(*made, atoms);
        return made;
    }();
    s->atoms = &atoms;
    FD_ZERO(&s->watched_set);
    s->last_sweep = 0;
    s->clock = fixed_clock;
    s->verbose = atoms.verbose = (data[0] & 1) != 0;
    const bool client_ends = (data[0] & 2) != 0;

    int ends[2];
    fuzz_check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0, "socketpair");
    // Every input closes both ends, so the same low descriptors come back
    // each time; libFuzzer holds a file or two open now and then, but a
    // descriptor lost per input soon shows as a climbing number.
    static int lowest_descriptor = ends[0];
    lowest_descriptor = std::min(lowest_descriptor, ends[0]);
    fuzz_check(ends[0] <= lowest_descriptor + 4, "a descriptor leaked from an earlier input");
    const int d = ends[0];
    const int peer = ends[1];
    record_client(*s, d, fixed_clock());

    expected_stream expected;
    std::string received;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t count = std::min<std::size_t>(data[at], size - at - 1);
        const std::uint8_t* piece = data + at + 1;
        at += 1 + count;
        if (count > 0) {
            fuzz_check(::write(peer, piece, count) == static_cast<ssize_t>(count),
                       "write to the server");
        }
        expected.add(piece, count);
        serve(*s, d, count + 2);
        read_replies(peer, received);
        fuzz_check(received == expected.replies, "reply frames differ from the model");
        fuzz_check(slot_in_use(*s, d), "the server closed a client that did nothing wrong");
    }
    if (client_ends) {
        fuzz_check(::shutdown(peer, SHUT_WR) == 0, "shutdown");
        serve(*s, d, size + 2);
        read_replies(peer, received);
        fuzz_check(received == expected.replies, "reply frames differ from the model");
        fuzz_check(!slot_in_use(*s, d) && !is_open(d), "a client that ended was not closed");
    } else {
        if (slot_in_use(*s, d)) {
            forget_client(*s, d);
            ::close(d);
        }
    }
    ::close(peer);
    return 0;
}
