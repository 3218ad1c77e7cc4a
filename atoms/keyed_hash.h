// The atom table's hash functions, keyed with a secret drawn when a table is
// made. Clients choose the strings and values that go into the table; with a
// hash they could compute, they could choose thousands that fall into one
// bucket and make every association and lookup there walk all of them. Keyed,
// the buckets they land in cannot be foreseen from outside the process.
#pragma once

#include <cstdint>
#include <string_view>

struct hash_key {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// From the system's random source; should that fail, from the clock, the
// process id and addresses, which still differ from run to run.
hash_key random_hash_key();

// SipHash-1-3 of the string's bytes, cut to 32 bits (what a record keeps).
std::uint32_t hash_string(const hash_key& key, std::string_view text);

// A value's bits mixed, so that values in any arithmetic pattern (multiples
// of a bucket count, say) land in buckets that look random. 32 bits, as for
// strings: the maps find a bucket by dividing the hash, and a division of a
// full 64-bit hash takes several times longer on some processors, once per
// node visited.
std::uint32_t hash_value(const hash_key& key, std::int32_t value);
