// The journal's costs in process: how fast a start-up replays a journal of
// N records into an empty table (read, checksums, table inserts), and the
// bytes each record takes. Prints figures; asserts nothing.
//   journal_replay_bench [DIRECTORY [N ...]]   default: the current directory, 1000000 10000000
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "atoms/journal_format.h"
#include "server/journal.h"

namespace {

// Strings like the benchmark's keys: "atom:" and the number.
std::string key_of(long i) { return "atom:" + std::to_string(i); }

bool write_journal(const std::string& path, long records, std::size_t& string_bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk = journal::encode_header();
    string_bytes = 0;
    for (long i = 0; i < records; ++i) {
        const std::string key = key_of(i);
        string_bytes += key.size();
        journal::append_record(chunk, static_cast<std::int32_t>(i), key);
        if (chunk.size() > (1 << 20)) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            chunk.clear();
        }
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    std::vector<long> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(std::atol(argv[i]));
    if (sizes.empty()) sizes = {1000000, 10000000};
    for (const long n : sizes) {
        const std::string path = dir + "/journal_replay_bench." + std::to_string(n);
        std::size_t string_bytes = 0;
        if (!write_journal(path, n, string_bytes)) {
            std::fprintf(stderr, "journal_replay_bench: cannot write %s\n", path.c_str());
            return 1;
        }
        struct stat st {};
        ::stat(path.c_str(), &st);
        // Checksums alone, over the file in memory: the reader's share.
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        const auto scan_start = std::chrono::steady_clock::now();
        const journal::scan_result scanned =
            journal::scan_journal(bytes, [](const journal::journal_record&) { return true; });
        const double scan_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - scan_start).count();
        bytes.clear();
        bytes.shrink_to_fit();

        atom_table table;
        journal_file journal;
        const auto start = std::chrono::steady_clock::now();
        if (!journal.open_and_replay(path.c_str(), false, table)) return 1;
        const double replay_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf(
            "journal replay records=%ld seconds=%.3f records_per_s=%.0f scan_only_per_s=%.0f "
            "file_bytes=%lld bytes_per_record=%.2f overhead_per_record=%.2f table=%zu ok=%d\n",
            n, replay_s, static_cast<double>(n) / replay_s,
            static_cast<double>(scanned.records) / scan_s, static_cast<long long>(st.st_size),
            static_cast<double>(st.st_size - 16) / static_cast<double>(n),
            static_cast<double>(static_cast<std::size_t>(st.st_size) - 16 - string_bytes) /
                static_cast<double>(n),
            table.size(), scanned.records == static_cast<std::uint64_t>(n));
        ::unlink(path.c_str());
    }
    return 0;
}
