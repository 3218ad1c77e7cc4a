// The workloads atom_bench runs, and what both of its protocols build their
// requests and check their replies with: the names of the keys, numbers as
// text, and the sink that takes each request text in the order it goes out.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

enum class workload_kind { ping, lookup, miss, associate, load };

// The keys: "atom:i" are the ones a load puts in and lookups find, "miss:n"
// are never there, "new:v" are made by the associate workload.
inline constexpr std::string_view present_key = "atom:";
inline constexpr std::string_view absent_key = "miss:";
inline constexpr std::string_view new_key = "new:";

inline void append_number(std::string& s, std::int64_t n) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, n);
    s.append(digits, r.ptr);
}

// Whether text is exactly the decimal number n.
inline bool number_is(std::string_view text, std::int64_t n) {
    std::int64_t got = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), got);
    return res.ec == std::errc{} && res.ptr == text.data() + text.size() && got == n;
}

// Takes the texts of a request one by one: each becomes a datagram, a frame
// or a command line, as the transport and the protocol have it.
class text_sink {
public:
    virtual void put(const std::string& text) = 0;

protected:
    ~text_sink() = default;
};

// What one request asks, whatever the protocol: the workload, and a key
// index, value or random number by workload; for a load, how many pairs
// from that key on.
struct request_shape {
    workload_kind workload = workload_kind::ping;
    std::int64_t key = 0;
    std::int32_t count = 1;
};
