// The journal's bytes on disk: pure functions that write and read them, no
// I/O. A journal is a 16-byte header followed by one record per association,
// in the order the associations were made:
//
//   header   8 bytes "ATOMJRNL", u32 format version (1), u32 reserved (0)
//   record   u16 string length, i32 value, the string's bytes,
//            u32 CRC-32C of the length, value and string bytes
//
// All numbers are little-endian. A record costs its string plus 10 bytes.
// Strings never hold a zero byte (requests are zero-terminated), so a record
// whose string holds one was not written by the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace journal {

inline constexpr char magic[8] = {'A', 'T', 'O', 'M', 'J', 'R', 'N', 'L'};
inline constexpr std::uint32_t format_version = 1;
inline constexpr std::size_t header_size = 16;
// Length and value in front of the string, checksum behind it.
inline constexpr std::size_t record_prefix_size = 6;
inline constexpr std::size_t record_overhead = 10;
inline constexpr std::size_t max_string_length = 0xffff;

// CRC-32C (Castagnoli, reflected, as in iSCSI and ext4), continued from crc;
// the checksum of a whole text is crc32c(text) with the default start.
std::uint32_t crc32c(const void* bytes, std::size_t length, std::uint32_t crc = 0);

// The header of a new journal.
std::string encode_header();
// Appends the record of one association to out. text holds at most
// max_string_length bytes and no zero byte.
void append_record(std::string& out, std::int32_t value, std::string_view text);

// How far the bytes of a journal make sense, and why they stop there.
enum class stop_kind {
    clean_end,      // every byte belongs to a whole, good record
    need_more,      // (only when more bytes may follow) an incomplete record
    torn_tail,      // the last record is incomplete: the writer died in its write
    bad_checksum,   // a record of complete size whose checksum fails
    zero_byte,      // a record whose string holds a zero byte
    foreign_file,   // the header is not a journal's
    newer_version,  // a journal of a format this program does not know
    stopped,        // the caller's function refused a record
};

// A text for messages: "bad checksum", "torn last record", ...
const char* describe(stop_kind kind);

struct scan_result {
    stop_kind kind = stop_kind::clean_end;
    // Offset in the file of the first byte not accepted: the end of the last
    // good record (or header), which is also where the problem starts.
    std::uint64_t good_end = 0;
    std::uint64_t records = 0;  // good records accepted by this scan
};

struct journal_record {
    std::int32_t value;
    std::string_view text;  // points into the scanned bytes
    std::uint64_t offset;   // of the record's first byte in the file
};

// The header at the start of bytes, which holds the file's first bytes
// (all of them when at_end). Returns clean_end with good_end = header_size
// for a good header; torn_tail for a file shorter than a header whose bytes
// are all a header's (the writer died writing it), foreign_file or
// newer_version otherwise; need_more when at_end is false and fewer than
// header_size bytes are given.
scan_result check_header(std::span<const char> bytes, bool at_end);

// One record at the start of bytes. On success fills r (offset taken as
// base) and sets size to its length in bytes.
stop_kind read_record(std::span<const char> bytes, std::uint64_t base, bool at_end,
                      journal_record& r, std::size_t& size);

// Reads the records in bytes, which start at a record's first byte and lie at
// offset base in the file, and passes each to accept in order; accept
// returning false stops the scan there (kind stopped, good_end at that
// record). at_end says that the bytes run to the end of the file; when it is
// false, an incomplete last record is need_more, and its bytes start at
// good_end.
template <class Accept>
scan_result scan_records(std::span<const char> bytes, std::uint64_t base, bool at_end,
                         Accept&& accept) {
    scan_result result;
    std::size_t at = 0;
    for (;;) {
        result.good_end = base + at;
        if (at == bytes.size()) {
            result.kind = at_end ? stop_kind::clean_end : stop_kind::need_more;
            return result;
        }
        journal_record r;
        std::size_t size = 0;
        const stop_kind kind = read_record(bytes.subspan(at), base + at, at_end, r, size);
        if (kind != stop_kind::clean_end) {
            result.kind = kind;
            return result;
        }
        if (!accept(r)) {
            result.kind = stop_kind::stopped;
            return result;
        }
        ++result.records;
        at += size;
    }
}

// A whole file in memory: its header, then every record through accept.
template <class Accept>
scan_result scan_journal(std::span<const char> file, Accept&& accept) {
    const scan_result header = check_header(file, true);
    if (header.kind != stop_kind::clean_end) return header;
    return scan_records(file.subspan(header_size), header_size, true, accept);
}

}  // namespace journal
