// Fuzzes the journal reader and its replay into a fresh table. The input's
// first byte chooses how the rest becomes a journal: taken as it is, behind a
// good header, or read as (length byte, value, string) triples made into
// records with good checksums, so that replay's one-to-one checks are reached
// past the checksums. Whatever the bytes, the reader must not crash, must
// never accept a record whose checksum fails or whose string holds a zero
// byte, and the table filled must stay one-to-one; the same bytes read in two
// chunks must give the same result as read whole.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "atoms/atom_table.h"
#include "atoms/journal_format.h"

namespace {

void fuzz_check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "journal_reader_fuzz: %s\n", what);
    std::abort();
}

std::uint32_t stored_checksum(const char* record_end) {
    const auto* p = reinterpret_cast<const unsigned char*>(record_end - 4);
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string journal_from(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t mode = data[0] % 3;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;
    if (mode == 0) return std::string(rest, length);
    std::string bytes = journal::encode_header();
    if (mode == 1) return bytes + std::string(rest, length);
    std::size_t at = 0;
    while (at + 5 <= length) {
        const std::size_t n = static_cast<std::uint8_t>(rest[at]) % 16;
        std::int32_t value = 0;
        std::memcpy(&value, rest + at + 1, 4);
        value %= 8;  // few values, so that they clash
        at += 5;
        const std::size_t take = n < length - at ? n : length - at;
        journal::append_record(bytes, value, std::string_view(rest + at, take));
        at += take;
    }
    // A torn tail now and then: the input's length says where.
    if (length % 5 == 1 && bytes.size() > journal::header_size) bytes.pop_back();
    return bytes;
}

struct replay {
    atom_table table;
    std::map<std::string, std::int32_t> by_string;
    std::map<std::int32_t, std::string> by_value;

    explicit replay(const std::string& file) : file_(file) {}

    bool accept(const journal::journal_record& r) {
        const char* start = file_.data() + r.offset;
        const std::size_t size = journal::record_overhead + r.text.size();
        fuzz_check(r.offset + size <= file_.size(), "a record beyond the end of the file");
        fuzz_check(r.text.data() == start + journal::record_prefix_size,
                   "a record's string is not where its bytes are");
        fuzz_check(journal::crc32c(start, size - 4) == stored_checksum(start + size),
                   "a record whose checksum fails was accepted");
        fuzz_check(std::memchr(r.text.data(), '\0', r.text.size()) == nullptr,
                   "a string with a zero byte was accepted");
        const std::string text(r.text);
        const association_result result = table.associate(r.value, text);
        if (result.outcome != association_outcome::accepted) {
            const auto s = by_string.find(text);
            const auto v = by_value.find(r.value);
            fuzz_check((s != by_string.end() && s->second != r.value) ||
                           (v != by_value.end() && v->second != text),
                       "a pair refused that breaks nothing");
            return false;  // as the server does: the start-up stops
        }
        const auto s = by_string.find(text);
        fuzz_check(s == by_string.end() || s->second == r.value, "a string loaded twice");
        const auto v = by_value.find(r.value);
        fuzz_check(v == by_value.end() || v->second == text, "a value loaded twice");
        by_string[text] = r.value;
        by_value[r.value] = text;
        return true;
    }

    void check_one_to_one() const {
        fuzz_check(table.size() == by_string.size() && by_string.size() == by_value.size(),
                   "the table is not one-to-one");
        for (const auto& [text, value] : by_string) {
            fuzz_check(table.string_to_atom(text) == value, "a loaded pair does not read back");
            const _send_get_atom_msg* m = table.atom_to_string(value);
            fuzz_check(m != nullptr && text == m->string, "a loaded value does not read back");
        }
    }

private:
    const std::string& file_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string file = journal_from(data, size);
    const std::span<const char> bytes(file.data(), file.size());

    replay whole(file);
    const journal::scan_result r = journal::scan_journal(
        bytes, [&](const journal::journal_record& rec) { return whole.accept(rec); });
    whole.check_one_to_one();
    fuzz_check(r.good_end <= file.size(), "the good end is past the end");
    if (r.kind == journal::stop_kind::clean_end) {
        fuzz_check(r.good_end == file.size(), "a clean end short of the end");
    }

    // The same in two chunks, as the server reads a large journal.
    const journal::scan_result header = journal::check_header(bytes, true);
    if (header.kind != journal::stop_kind::clean_end) return 0;
    const std::size_t body = file.size() - journal::header_size;
    const std::size_t cut = body == 0 ? 0 : data[size - 1] % (body + 1);
    replay chunked(file);
    auto load = [&](const journal::journal_record& rec) { return chunked.accept(rec); };
    journal::scan_result first = journal::scan_records(bytes.subspan(journal::header_size, cut),
                                                       journal::header_size, false, load);
    journal::scan_result second = first;
    if (first.kind == journal::stop_kind::need_more) {
        const std::size_t from = static_cast<std::size_t>(first.good_end);
        second = journal::scan_records(bytes.subspan(from), first.good_end, true, load);
        second.records += first.records;
    }
    fuzz_check(
        second.kind == r.kind && second.good_end == r.good_end && second.records == r.records,
        "read in two chunks differs from read whole");
    return 0;
}
