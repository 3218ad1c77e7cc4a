// The part of redis-server's protocol that atom_bench speaks, so that the atom
// server can be measured beside it: inline commands over TCP (PING, GET,
// SETNX) and their replies. The workloads and keys are the atom protocol's;
// an association is a SETNX and a GET of its key, and a load stores each pair
// as two keys, "atom:i" -> i and i -> "atom:i".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bench/workload.h"

namespace redis_protocol {

inline constexpr int default_port = 6379;

// Puts the commands of one request to out, in the order they go. text is the
// buffer they are made in, kept by the caller so that nothing is allocated
// once it has grown.
void write_request(const request_shape& r, std::string& text, text_sink& out);

// Appends one command to the bytes that go out: an inline command is a line.
void append_command(std::string& out, std::string_view text);

// How many replies the commands of one request draw: one each.
std::int32_t replies_to(const request_shape& r);

// Takes one reply from the front of bytes: "+PONG", ":1", "-ERR ..", a bulk
// string's bytes, or "(nil)" for the absent bulk string. Returns the bytes it
// takes, 0 while the reply is not whole.
std::size_t take_reply(std::string_view bytes, std::string_view& reply);

// An error reply, which may come to any command.
bool is_error(std::string_view reply);

// Whether reply is the right answer to the last command of r.
bool is_expected_reply(const request_shape& r, std::string_view reply);

}  // namespace redis_protocol
