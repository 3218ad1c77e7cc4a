// The client library of atom_server: turns strings into values and back,
// records pairs and interns strings, over UDP port 4444 or one TCP connection
// to port 4445. Every call returns an atom_answer; failures (an unreachable
// server, a time-out, a reply that does not parse, a request the server could
// not take) are answers too, never exceptions or crashes.
//
// What the library promises, and where the protocol makes it work for it:
//
// - An accepted association gets no reply from the server. associate() follows
//   the "A" request with an "S" lookup of the same string and decides from
//   the replies: a refusal ("E") or a lookup that shows another value means
//   refused, with the association in force; a lookup that shows the value
//   means accepted. Over TCP replies come in order, so that is certain. Over
//   UDP a lost datagram is told apart from a refusal whose reply was lost by
//   further lookups ("N" of the value, "N-1"), and the whole exchange is
//   retried when the association itself was lost. associate() never reports
//   "accepted" for a pair the server does not hold.
// - "S" answers "N-1" both for an unknown string and for a string bound to -1.
//   string_to_atom() confirms a -1 with an "N-1" lookup: found only when -1's
//   string is the one asked for. Likewise "N" answers "S" alone both for an
//   unknown value and for a value bound to the empty string; atom_to_string()
//   confirms with an "S" lookup of the empty string. The one pair neither side
//   can show is the empty string bound to -1: lookups report it as not found,
//   and over UDP associate() refuses to make it (bad_request), since its
//   acceptance could never be confirmed; over TCP it works.
// - The server returns at most the first 99 bytes of a string. atom_to_string()
//   of a longer string (only TCP can record one) returns those 99 bytes, and a
//   refusal's string is cut to what fits in the server's reply. Such answers
//   are not cached. string_to_atom() of a string longer than 99 bytes that
//   reads back as -1 is taken as found when -1's string begins with the same
//   99 bytes.
// - Associations never change once made, so found pairs are cached (on by
//   default): a cache hit costs no round trip. Not-found answers are never
//   cached, since the string or value may be associated later.
// - intern() is get-or-create: the value already bound to the string, or a
//   new one. Candidates are derived from the string alone (intern_candidate),
//   so clients interning the same strings at the same time try the same values
//   in the same order and the server's first acceptance decides for all.
// - A string holding a zero byte, or a request longer than the transport
//   carries (99 bytes in a datagram, 255 in a frame), is refused with
//   bad_request before anything is sent. intern() keeps room for a ten-digit
//   candidate: strings of up to 87 bytes over UDP, 243 over TCP.
// - UDP: each call has one time-out, split evenly between its attempts; after
//   the last the server is reported timed out. A refused datagram (ICMP port
//   unreachable) reports it unreachable at once. TCP: one connection, opened
//   on first use; each request is framed in one write; a connection found lost
//   is reopened once per call and the call repeated (every request of the
//   language is idempotent). After a time-out the socket or connection is
//   replaced, so that a late reply is never taken for the answer to a later
//   request.
//
// An atom_client is not safe for use from several threads at once; give each
// thread its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "atoms/protocol.h"

enum class transport_kind { udp, tcp };

struct client_options {
    transport_kind transport = transport_kind::udp;
    std::string host = "127.0.0.1";  // a dotted address or a name
    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000);  // per call
    int udp_attempts = 4;  // datagram exchanges per call before it times out
    bool cache = true;
    std::uint16_t udp_port = datagram_port;
    std::uint16_t tcp_port = stream_port;
};

enum class atom_status {
    found,        // string_to_atom, atom_to_string, intern: value and text hold the pair
    not_found,    // no association
    accepted,     // associate: the server holds the pair now
    refused,      // associate: value and text hold the association in force
    alive,        // ping
    unreachable,  // no server at the address, or the connection could not be kept
    timed_out,    // no answer within the time-out
    bad_reply,    // the server answered something that does not parse
    bad_request,  // refused before sending: see error
};

struct atom_answer {
    atom_status status = atom_status::bad_request;
    std::int32_t value = 0;
    std::string text;
    std::string error;  // for unreachable, timed_out, bad_reply, bad_request
};

// Readable name of a status, for messages.
const char* status_name(atom_status status);

class transport;

class atom_client {
public:
    explicit atom_client(client_options options = {});
    ~atom_client();
    atom_client(const atom_client&) = delete;
    atom_client& operator=(const atom_client&) = delete;

    atom_answer string_to_atom(std::string_view text);
    atom_answer atom_to_string(std::int32_t value);
    atom_answer associate(std::int32_t value, std::string_view text);
    // found with the string's value, whether it had one or was given one now.
    atom_answer intern(std::string_view text);
    atom_answer ping();

    const client_options& options() const { return options_; }
    // Round trips made so far (each request sent counts one).
    std::size_t requests_sent() const;

private:
    client_options options_;
    std::unique_ptr<transport> transport_;
    std::unordered_map<std::string, std::int32_t> value_of_;
    std::unordered_map<std::int32_t, std::string> string_of_;

    void remember(std::int32_t value, std::string_view text);
};

// The k-th value intern() tries for text (k from 0): in 1 .. 2147483647,
// derived from the string alone.
std::int32_t intern_candidate(std::string_view text, unsigned k);
inline constexpr unsigned max_intern_candidates = 64;
