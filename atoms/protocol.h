// The numbers of atom_server's protocol, shared by the server, the client
// library, the benchmark and the tests: its two ports, and how long requests,
// replies and frames may be. Nothing here pulls in the atom table.
#pragma once

#include <cstddef>
#include <cstdint>

// Both bound to every local address; nothing configures them.
inline constexpr std::uint16_t datagram_port = 4444;  // UDP: one request per datagram
inline constexpr std::uint16_t stream_port = 4445;    // TCP: length-framed requests

// The server reads at most this many bytes of a datagram; the rest is lost.
inline constexpr std::size_t max_datagram_request = 99;
// A request text and its terminating zero byte fit in this many bytes.
inline constexpr std::size_t request_buffer_size = 128;

// A frame is one length byte and that many bytes of text, in both directions.
inline constexpr std::size_t max_frame_body = 255;

// A reply is at most this many characters; reply buffers hold one more for
// the terminating zero byte.
inline constexpr std::size_t max_reply_length = 100;
inline constexpr std::size_t reply_buffer_size = max_reply_length + 1;
// An "S" reply carries at most this many bytes of the string, after the "S";
// an "N" or "E" reply is cut to this many characters in all.
inline constexpr std::size_t max_reply_string = max_reply_length - 1;
inline constexpr std::size_t max_formatted_reply = max_reply_length - 1;

static_assert(max_datagram_request < request_buffer_size, "a datagram and its zero byte fit");
static_assert(max_frame_body <= 255, "one length byte announces a frame");
