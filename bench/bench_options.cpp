#include "bench/bench_options.h"

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <variant>

#include "atoms/protocol.h"
#include "bench/redis_protocol.h"

namespace {

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(
        stderr,
        "atom_bench: %s\n"
        "usage: atom_bench [--transport udp|tcp] [--workload ping|lookup|miss|associate|load]\n"
        "                  [--protocol atom|redis] [--port N] [--connections C] [--depth D]\n"
        "                  [--seconds S] [--warmup S] [--keys K] [--batch B]\n"
        "                  [--first-value V] [--resend-ms M] [--limit S] [--label TEXT]\n"
        "                  [--progress]\n",
        problem.c_str());
    std::exit(2);
}

template <class E>
struct named {
    std::string_view name;
    E value;
};

constexpr named<transport_kind> transport_names[] = {
    {"udp", transport_kind::udp},
    {"tcp", transport_kind::tcp},
};
constexpr named<workload_kind> workload_names[] = {
    {"ping", workload_kind::ping}, {"lookup", workload_kind::lookup},
    {"miss", workload_kind::miss}, {"associate", workload_kind::associate},
    {"load", workload_kind::load},
};
constexpr named<protocol_kind> protocol_names[] = {
    {"atom", protocol_kind::atom},
    {"redis", protocol_kind::redis},
};

template <class E, std::size_t n>
std::string_view name_in(const named<E> (&names)[n], E value) {
    for (const auto& entry : names) {
        if (entry.value == value) return entry.name;
    }
    return "?";
}

// Each option names the field it sets; the field's type says how its value
// is read. A bool field is a flag, which takes no value.
using option_field =
    std::variant<bool options::*, int options::*, std::int64_t options::*, double options::*,
                 std::string options::*, transport_kind options::*, workload_kind options::*,
                 protocol_kind options::*>;

struct known_option {
    std::string_view name;
    option_field field;
};

const known_option known_options[] = {
    {"--transport", &options::transport},
    {"--workload", &options::workload},
    {"--protocol", &options::protocol},
    {"--port", &options::port},
    {"--connections", &options::connections},
    {"--depth", &options::depth},
    {"--seconds", &options::seconds},
    {"--warmup", &options::warmup_seconds},
    {"--keys", &options::keys},
    {"--batch", &options::batch},
    {"--first-value", &options::first_value},
    {"--limit", &options::limit_seconds},
    {"--resend-ms", &options::resend_after_ms},
    {"--label", &options::label},
    {"--progress", &options::progress},
};

const known_option* find_option(std::string_view name) {
    for (const auto& known : known_options) {
        if (known.name == name) return &known;
    }
    return nullptr;
}

// The readers of a value, one per field type; option is the option's name,
// for the message when the value is not one.
template <class T>
void read_value(T& field, const char* text, std::string_view option) {
    // Integers: all of the text, in decimal.
    T value{};
    const char* end = text + std::strlen(text);
    if (std::from_chars(text, end, value).ptr != end) usage("bad " + std::string(option));
    field = value;
}

void read_value(double& field, const char* text, std::string_view option) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || value < 0) usage("bad " + std::string(option));
    field = value;
}

void read_value(std::string& field, const char* text, std::string_view) { field = text; }

template <class E, std::size_t n>
void read_choice(E& field, const named<E> (&names)[n], const char* text, std::string_view option) {
    for (const auto& entry : names) {
        if (entry.name == text) {
            field = entry.value;
            return;
        }
    }
    usage("unknown " + std::string(option.substr(2)));  // "unknown transport"
}

void read_value(transport_kind& field, const char* text, std::string_view option) {
    read_choice(field, transport_names, text, option);
}
void read_value(workload_kind& field, const char* text, std::string_view option) {
    read_choice(field, workload_names, text, option);
}
void read_value(protocol_kind& field, const char* text, std::string_view option) {
    read_choice(field, protocol_names, text, option);
}

}  // namespace

std::string_view name_of(transport_kind t) { return name_in(transport_names, t); }
std::string_view name_of(workload_kind w) { return name_in(workload_names, w); }

options parse_options(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const known_option* known = find_option(argv[i]);
        if (known != nullptr && std::holds_alternative<bool options::*>(known->field)) {
            o.*std::get<bool options::*>(known->field) = true;
            continue;
        }
        if (i + 1 >= argc) usage("an option lacks its value");
        const char* value = argv[++i];
        if (known == nullptr) usage("unknown option");
        std::visit(
            [&](auto field) {
                if constexpr (!std::is_same_v<decltype(field), bool options::*>) {
                    read_value(o.*field, value, known->name);
                }
            },
            known->field);
    }
    if (o.connections < 1 || o.connections > 1000) usage("--connections must be 1..1000");
    if (o.depth < 1 || o.depth > 64) usage("--depth must be 1..64");
    if (o.keys < 1 || o.keys > 2000000000) usage("--keys must be 1..2000000000");
    if (o.protocol == protocol_kind::redis && o.transport != transport_kind::tcp) {
        usage("the redis protocol runs over tcp only");
    }
    if (o.batch == 0) o.batch = o.transport == transport_kind::udp ? 16 : 128;
    // A load request over UDP is that many datagrams at once: more would
    // overrun the server's receive buffer and be lost.
    if (o.batch < 1 || o.batch > 200) usage("--batch must be 1..200");
    if (o.port == 0) {
        if (o.protocol == protocol_kind::redis)
            o.port = redis_protocol::default_port;
        else
            o.port = o.transport == transport_kind::udp ? datagram_port : stream_port;
    }
    return o;
}
