#include "atoms/journal_format.h"

#include <array>
#include <cstring>

namespace journal {

namespace {

constexpr std::uint32_t castagnoli_reflected = 0x82f63b78;

// Slicing by eight: table[k][b] is the CRC of byte b followed by k zero
// bytes, so eight bytes cost eight lookups and no per-bit work. Replaying a
// large journal checks every byte once; one table per byte was the slow part.
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr crc_tables make_tables() {
    crc_tables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? castagnoli_reflected : 0);
        t[0][b] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
    }
    return t;
}

constexpr crc_tables tables = make_tables();

std::uint32_t load_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t load_u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void store_u32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    out.append(bytes, 4);
}

const unsigned char* as_bytes(std::span<const char> s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::uint32_t crc32c(const void* bytes, std::size_t length, std::uint32_t crc) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    crc = ~crc;
    while (length >= 8) {
        const std::uint32_t low = load_u32(p) ^ crc;
        const std::uint32_t high = load_u32(p + 4);
        crc = tables[7][low & 0xff] ^ tables[6][(low >> 8) & 0xff] ^ tables[5][(low >> 16) & 0xff] ^
              tables[4][low >> 24] ^ tables[3][high & 0xff] ^ tables[2][(high >> 8) & 0xff] ^
              tables[1][(high >> 16) & 0xff] ^ tables[0][high >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0) crc = (crc >> 8) ^ tables[0][(crc ^ *p++) & 0xff];
    return ~crc;
}

std::string encode_header() {
    std::string h(magic, sizeof magic);
    store_u32(h, format_version);
    store_u32(h, 0);  // reserved
    return h;
}

void append_record(std::string& out, std::int32_t value, std::string_view text) {
    const std::size_t start = out.size();
    const auto length = static_cast<std::uint16_t>(text.size());
    const char prefix[record_prefix_size] = {
        static_cast<char>(length),
        static_cast<char>(length >> 8),
        static_cast<char>(value),
        static_cast<char>(static_cast<std::uint32_t>(value) >> 8),
        static_cast<char>(static_cast<std::uint32_t>(value) >> 16),
        static_cast<char>(static_cast<std::uint32_t>(value) >> 24)};
    out.append(prefix, sizeof prefix);
    out.append(text);
    store_u32(out, crc32c(out.data() + start, out.size() - start));
}

const char* describe(stop_kind kind) {
    switch (kind) {
        case stop_kind::clean_end:
            return "clean end";
        case stop_kind::need_more:
            return "incomplete record";
        case stop_kind::torn_tail:
            return "torn last record";
        case stop_kind::bad_checksum:
            return "bad checksum";
        case stop_kind::zero_byte:
            return "impossible record (a zero byte in its string)";
        case stop_kind::foreign_file:
            return "not an atom journal";
        case stop_kind::newer_version:
            return "a newer journal format";
        case stop_kind::stopped:
            return "record refused";
    }
    return "unknown";
}

scan_result check_header(std::span<const char> bytes, bool at_end) {
    const std::string expected = encode_header();
    scan_result result;
    result.good_end = 0;
    if (bytes.size() < header_size) {
        if (!at_end) {
            result.kind = stop_kind::need_more;
            return result;
        }
        // A short file that is all a header's first bytes was being created
        // when its writer died; anything else short is someone else's.
        const bool prefix =
            bytes.empty() || std::memcmp(bytes.data(), expected.data(), bytes.size()) == 0;
        result.kind = prefix ? stop_kind::torn_tail : stop_kind::foreign_file;
        return result;
    }
    const unsigned char* p = as_bytes(bytes);
    if (std::memcmp(p, magic, sizeof magic) != 0) {
        result.kind = stop_kind::foreign_file;
        return result;
    }
    const std::uint32_t version = load_u32(p + sizeof magic);
    const std::uint32_t reserved = load_u32(p + sizeof magic + 4);
    if (version > format_version) {
        result.kind = stop_kind::newer_version;
    } else if (version != format_version || reserved != 0) {
        result.kind = stop_kind::foreign_file;
    } else {
        result.kind = stop_kind::clean_end;
        result.good_end = header_size;
    }
    return result;
}

// Records are written by one write each, at the end of the file, so a writer
// that dies can leave only its last record incomplete: fewer bytes than the
// record needs, with nothing after them. That is a torn tail. A record of
// complete size whose checksum fails cannot come from a torn write, even when
// it is the last one (its bytes all arrived, so they were changed later), so
// it is damage and is refused like one in the middle.
stop_kind read_record(std::span<const char> bytes, std::uint64_t base, bool at_end,
                      journal_record& r, std::size_t& size) {
    const stop_kind incomplete = at_end ? stop_kind::torn_tail : stop_kind::need_more;
    if (bytes.size() < record_prefix_size) return incomplete;
    const unsigned char* p = as_bytes(bytes);
    const std::size_t length = load_u16(p);
    size = record_overhead + length;
    if (bytes.size() < size) return incomplete;
    const std::uint32_t stored = load_u32(p + record_prefix_size + length);
    if (crc32c(p, record_prefix_size + length) != stored) return stop_kind::bad_checksum;
    const char* text = bytes.data() + record_prefix_size;
    if (std::memchr(text, '\0', length) != nullptr) return stop_kind::zero_byte;
    r.value = static_cast<std::int32_t>(load_u32(p + 2));
    r.text = std::string_view(text, length);
    r.offset = base;
    return stop_kind::clean_end;
}

}  // namespace journal
