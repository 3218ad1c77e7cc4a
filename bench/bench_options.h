// atom_bench's command line: what one run measures and how. parse_options
// returns complete options, every default filled in, or prints the problem
// and the usage on standard error and exits with status 2.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bench/workload.h"

enum class transport_kind { udp, tcp };
enum class protocol_kind { atom, redis };

struct options {
    transport_kind transport = transport_kind::udp;
    workload_kind workload = workload_kind::ping;
    protocol_kind protocol = protocol_kind::atom;
    int port = 0;  // 0: the protocol's own port for the transport
    int connections = 1;
    int depth = 1;
    double seconds = 3.0;
    double warmup_seconds = 0.2;
    std::int64_t keys = 1000;
    int batch = 0;  // associations per load request; 0: chosen for the transport
    std::int64_t first_value = 1000000000;
    double resend_after_ms = 100.0;
    double limit_seconds = 600.0;  // a load that is not done by then gives up
    bool progress = false;
    std::string label = "atom_server";
};

options parse_options(int argc, char** argv);

// The names the command line and the printed line use.
std::string_view name_of(transport_kind t);
std::string_view name_of(workload_kind w);
