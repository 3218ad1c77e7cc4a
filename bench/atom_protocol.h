// The atom request language as atom_bench speaks it: the requests of each
// workload, the frames they travel in over TCP (one length byte and the
// text; over UDP each text is a datagram), and the replies that confirm them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bench/workload.h"

namespace atom_protocol {

// Puts the requests of one workload request to out, in the order they go.
// An associate is "A" and a lookup of its string, a load a batch of "A"
// ended by a lookup of its last string: the server answers only the lookup,
// and its answer confirms what came before. text is the buffer they are made
// in, kept by the caller so that nothing is allocated once it has grown.
void write_request(const request_shape& r, std::string& text, text_sink& out);

// Appends one request to the bytes that go out over TCP, as a frame.
void append_frame(std::string& out, std::string_view text);

// Takes one reply frame from the front of bytes. Returns the bytes it takes,
// 0 while the frame is not whole.
std::size_t take_frame(std::string_view bytes, std::string_view& reply);

// "E...": the reply to a refused association, which comes before the reply
// to the lookup after it.
bool is_refusal(std::string_view reply);

// Whether reply is the right answer to the last request of r.
bool is_expected_reply(const request_shape& r, std::string_view reply);

}  // namespace atom_protocol
