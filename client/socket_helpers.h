// Small socket helpers the transports share: the server's address, waiting
// on a descriptor until a deadline, and error texts in the perror manner.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace atom::detail {

using client_clock = std::chrono::steady_clock;
using deadline = client_clock::time_point;

// Fills address with host (dotted or a name, IPv4) and port. On failure
// returns false with the reason in error.
bool resolve_server(const std::string& host, std::uint16_t port, sockaddr_in& address,
                    std::string& error);

// Waits until fd has one of events (POLLIN, POLLOUT) or the deadline passes.
// Returns the events that came (0 on time-out), or -1 with errno set.
int wait_for(int fd, short events, deadline until);

// For pipelined work: waits until fd has one of events, or input_fd (when
// not negative) has input, or the deadline passes; without a deadline when
// until is empty. Returns fd's events (0 when only the input is ready or on
// time-out) and sets input_ready; -1 with errno set on failure.
int wait_for_socket_or_input(int fd, short events, int input_fd, bool& input_ready,
                             const deadline* until);

// "what: <the system's text for errno>", errno read at the call.
std::string system_error_text(const char* what);

// Whether errno says the peer is gone rather than something local failed.
bool peer_refused_or_reset(int error_number);

}  // namespace atom::detail
