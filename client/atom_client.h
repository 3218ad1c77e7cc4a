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
//   of a longer string (only TCP can record one) returns those 99 bytes with
//   atom_answer::truncated set, and a refusal's string cut to what fits in the
//   server's reply is flagged the same way. Such answers are not cached.
//   string_to_atom() of a string longer than 99 bytes that reads back as -1
//   is taken as found when -1's string begins with the same 99 bytes.
// - Found pairs are cached (on by default): a cache hit costs no round trip.
//   Not-found answers are never cached, since the string or value may be
//   associated later. What a cached pair is worth depends on the server:
//   - With a journal (atom_server -journal) the server's pairs survive its
//     restarts, so a cached pair stays true for good.
//   - Without one, a restarted server has forgotten every pair and may bind
//     their values to other strings. Over TCP the cache is dropped whenever
//     the connection ends (each call first checks, without waiting, that the
//     server has not closed it), so a restart is noticed and nothing cached
//     from the old server is answered from then on. Over UDP a restart cannot
//     be seen: with a server that may restart without a journal, turn the
//     cache off (client_options::cache) or use TCP.
// - intern() is get-or-create: the value already bound to the string, or a
//   new one. Candidates are derived from the string alone (intern_candidate),
//   so clients interning the same strings at the same time try the same values
//   in the same order and the server's first acceptance decides for all.
// - A string holding a zero byte, or a request longer than the transport
//   carries (99 bytes in a datagram, 255 in a frame), is refused with
//   bad_request before anything is sent. intern() of a string too long for an
//   association with a ten-digit candidate (88 bytes and more over UDP, 244
//   over TCP) looks the string up first, so a stored one is found; only when a
//   candidate that must be tried does not fit is it refused (bad_request).
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
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The library's version, the project's version.
#define ATOM_CLIENT_VERSION_MAJOR 0
#define ATOM_CLIENT_VERSION_MINOR 1
#define ATOM_CLIENT_VERSION "0.1"

namespace atom {

// The server's fixed ports.
inline constexpr std::uint16_t default_udp_port = 4444;
inline constexpr std::uint16_t default_tcp_port = 4445;
// The longest part of a string that a reply of the server carries.
inline constexpr std::size_t max_returned_string = 99;

enum class transport_kind { udp, tcp };

struct client_options {
    transport_kind transport = transport_kind::udp;
    std::string host = "127.0.0.1";  // a dotted address or a name
    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000);  // per call
    int udp_attempts = 4;  // datagram exchanges per call before it times out
    bool cache = true;
    std::uint16_t udp_port = default_udp_port;
    std::uint16_t tcp_port = default_tcp_port;
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
    // text is only the first 99 bytes of the string the server holds (found
    // by atom_to_string, or the string of a refusal): the server returns no
    // more. Over TCP a 99-byte answer is checked with a lookup, so the flag
    // means the string is longer; over UDP that lookup does not fit in a
    // datagram, so any 99-byte answer is flagged.
    bool truncated = false;
};

// Readable name of a status, for messages.
const char* status_name(atom_status status);

namespace detail {
class transport;
}

class atom_client {
public:
    explicit atom_client(client_options options = {});
    ~atom_client();
    atom_client(const atom_client&) = delete;
    atom_client& operator=(const atom_client&) = delete;
    // A moved-from client may only be assigned to or destroyed.
    atom_client(atom_client&&) noexcept;
    atom_client& operator=(atom_client&&) noexcept;

    atom_answer string_to_atom(std::string_view text);
    atom_answer atom_to_string(std::int32_t value);
    atom_answer associate(std::int32_t value, std::string_view text);
    // found with the string's value, whether it had one or was given one now.
    atom_answer intern(std::string_view text);
    atom_answer ping();

    const client_options& options() const { return options_; }
    // Round trips made so far (each request sent counts one).
    std::size_t requests_sent() const;
    // Pairs held in the cache now.
    std::size_t cached_pairs() const { return value_of_.size(); }

private:
    client_options options_;
    std::unique_ptr<detail::transport> transport_;
    std::unordered_map<std::string, std::int32_t> value_of_;
    std::unordered_map<std::int32_t, std::string> string_of_;
    std::size_t connections_seen_ = 0;

    void remember(std::int32_t value, std::string_view text);
    // Drops the cache when a connection has ended since it was last seen;
    // the first looks whether the server has closed it meanwhile.
    void forget_if_reconnected();
    void forget_if_connection_ended();
};

// The k-th value intern() tries for text (k from 0): in 1 .. 2147483647,
// derived from the string alone.
std::int32_t intern_candidate(std::string_view text, unsigned k);
inline constexpr unsigned max_intern_candidates = 64;

// ---- Pipelined work over one TCP connection: loads and batch lookups ----
//
// Both read lines as they come: what has been read is sent when the input
// pauses, so a slow producer (a pipe from ssh, tail -f) is served line by
// line, and the time-out runs only while replies are awaited. At most a
// window of requests is unanswered at once, since the server closes a client
// whose reply it cannot write at once.

// How input lines are read.
struct line_format {
    // Each string (a load line's string, a batch key) is written with
    // atom::escape() (text_escaping.h) and is read back with atom::unescape().
    bool escaped = false;
    // Keep a carriage return that ends a line. By default it is dropped, so
    // that files written with CRLF line ends load as they read.
    bool keep_cr = false;
};

// A load line: the value in decimal, one blank or tab, and the string, every
// byte of the rest of the line (or, escaped, what it stands for).
struct value_string_line {
    std::int32_t value = 0;
    std::string text;
};

// The association a refusal reports as in force.
struct pair_in_force {
    std::int32_t value = 0;
    std::string text;
};

// A line that was not loaded: malformed (why says how), or refused with the
// association in force.
struct load_issue {
    std::size_t line = 0;
    std::string why;  // empty for a refusal
    value_string_line pair;
    pair_in_force in_force;
};

struct load_summary {
    std::size_t lines = 0;
    std::size_t accepted = 0;
    std::size_t refused = 0;
    std::size_t malformed = 0;
    std::vector<load_issue> issues;  // in line order
    // accepted when every line was read and answered; otherwise why the load
    // stopped (unreachable, timed_out, bad_reply, or bad_request when the
    // input could not be read), with error.
    atom_status status = atom_status::accepted;
    std::string error;
};

using load_progress_fn = std::function<void(const load_summary&)>;

// Loads every "VALUE STRING" line of in, or of the descriptor fd (read as
// lines arrive; it is not closed). progress, when given, is called now and
// then with the counts so far. A connection lost midway is reopened, and the
// unanswered lines sent again (associations are idempotent).
load_summary load_pairs(const client_options& options, std::istream& in,
                        const load_progress_fn& progress = {}, const line_format& format = {});
load_summary load_pairs(const client_options& options, int fd,
                        const load_progress_fn& progress = {}, const line_format& format = {});

// Batch lookups: one key a line (a string, or a decimal value for
// atom_to_string), each answered in input order as string_to_atom,
// atom_to_string or intern would answer it, but pipelined.
enum class lookup_kind { string_to_atom, atom_to_string, intern };

struct batch_summary {
    std::size_t keys = 0;
    std::size_t found = 0;
    std::size_t not_found = 0;  // also refused: intern found no free value
    std::size_t malformed = 0;  // bad_request answers: the key cannot be asked
    // found when every key was read and answered; otherwise why the batch
    // stopped, with error.
    atom_status status = atom_status::found;
    std::string error;
};

// Called for each key in order with the line as read (before unescaping)
// and its answer; returning false stops the batch (a write that failed).
using batch_answer_fn = std::function<bool(std::string_view key, const atom_answer& answer)>;

batch_summary lookup_batch(const client_options& options, lookup_kind kind, std::istream& in,
                           const batch_answer_fn& answer, const line_format& format = {});
batch_summary lookup_batch(const client_options& options, lookup_kind kind, int fd,
                           const batch_answer_fn& answer, const line_format& format = {});

}  // namespace atom
