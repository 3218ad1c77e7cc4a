// atom_journal: reads an atom_server journal without changing it. "check"
// says whether every byte is a good record; "dump" writes every pair as a
// line that `atom_client load --escaped` reads back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "atoms/journal_format.h"
#include "client/text_escaping.h"

namespace {

constexpr int status_clean = 0;
constexpr int status_damaged = 1;
constexpr int status_usage = 2;

const char* const usage_text =
    "usage: atom_journal check PATH\n"
    "       atom_journal dump PATH\n"
    "\n"
    "check  prints the records, the bytes and the offset where the last good\n"
    "       record ends; exit status 0 when the journal is whole, 1 when it is\n"
    "       damaged or its last record is torn, 2 when it cannot be read.\n"
    "dump   prints every pair as VALUE, a tab and the string escaped as\n"
    "       `atom_client load --escaped` reads it; the same exit statuses.\n"
    "The file is only read, never changed.\n";

// The whole file, read with the calls' failures reported: a journal tool
// must tell a file it cannot read from a damaged one.
bool read_whole_file(const char* path, std::string& bytes) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "atom_journal: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "atom_journal: %s: read: %s\n", path, std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

void report_damage(const char* path, const journal::scan_result& r) {
    std::fprintf(stderr, "atom_journal: %s: %s at offset %llu\n", path, journal::describe(r.kind),
                 static_cast<unsigned long long>(r.good_end));
}

int check(const char* path) {
    std::string bytes;
    if (!read_whole_file(path, bytes)) return status_usage;
    const journal::scan_result r =
        journal::scan_journal(bytes, [](const journal::journal_record&) { return true; });
    std::printf("records %llu\nbytes %zu\nlast good offset %llu\n",
                static_cast<unsigned long long>(r.records), bytes.size(),
                static_cast<unsigned long long>(r.good_end));
    if (r.kind == journal::stop_kind::clean_end) {
        std::printf("clean\n");
        return status_clean;
    }
    std::printf("damaged: %s at offset %llu\n", journal::describe(r.kind),
                static_cast<unsigned long long>(r.good_end));
    return status_damaged;
}

int dump(const char* path) {
    std::string bytes;
    if (!read_whole_file(path, bytes)) return status_usage;
    std::string line;
    const journal::scan_result r =
        journal::scan_journal(bytes, [&](const journal::journal_record& rec) {
            line = std::to_string(rec.value);
            line += '\t';
            line += atom::escape(rec.text);
            line += '\n';
            return std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
        });
    if (std::fflush(stdout) != 0 || r.kind == journal::stop_kind::stopped) {
        std::fprintf(stderr, "atom_journal: write: %s\n", std::strerror(errno));
        return status_usage;
    }
    if (r.kind == journal::stop_kind::clean_end) return status_clean;
    report_damage(path, r);
    return status_damaged;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return status_clean;
    }
    if (argc == 3 && std::strcmp(argv[1], "check") == 0) return check(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0) return dump(argv[2]);
    std::fputs(usage_text, stderr);
    return status_usage;
}
