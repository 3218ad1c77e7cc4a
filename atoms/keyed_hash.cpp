#include "atoms/keyed_hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstring>

namespace {

struct sip_state {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void absorb(std::uint64_t word) {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

std::uint64_t little_endian_word(const unsigned char* bytes, std::size_t count) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
    return word;
}

// The finaliser of MurmurHash3: every input bit moves about half the output.
std::uint64_t mix64(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

hash_key random_hash_key() {
    hash_key key;
    std::uint64_t words[2];
    // GRND_NONBLOCK: early in boot the pool may not be ready, and the server
    // must not wait for it; the fallback below is good enough then.
    if (::getrandom(words, sizeof words, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof words)) {
        key.k0 = words[0];
        key.k1 = words[1];
        return key;
    }
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    key.k0 = mix64(now ^ reinterpret_cast<std::uintptr_t>(&key));
    key.k1 = mix64(key.k0 ^ static_cast<std::uint64_t>(::getpid()));
    return key;
}

std::uint32_t hash_string(const hash_key& key, std::string_view text) {
    sip_state s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t whole = text.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if constexpr (std::endian::native == std::endian::big)
            word = little_endian_word(bytes + i, 8);
        s.absorb(word);
    }
    s.absorb(little_endian_word(bytes + whole, text.size() - whole) |
             (std::uint64_t{text.size() & 0xff} << 56));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    const std::uint64_t h = s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::uint32_t hash_value(const hash_key& key, std::int32_t value) {
    const std::uint64_t mixed =
        mix64(static_cast<std::uint64_t>(static_cast<std::uint32_t>(value)) ^ key.k0);
    return static_cast<std::uint32_t>(mixed >> 32);
}
