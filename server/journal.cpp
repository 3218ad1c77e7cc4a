#include "server/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "atoms/journal_format.h"
#include "server/messages.h"

namespace {

// Large enough for the longest record, so that a record never spans more
// than one refill; small enough that a huge journal is not read whole into
// memory beside the table it fills.
constexpr std::size_t read_chunk = 1 << 20;
static_assert(read_chunk >= journal::record_overhead + journal::max_string_length);

constexpr std::size_t replay_bytes_per_record_guess = journal::record_overhead + 8;

unsigned long long as_ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

// A new file's name lives in its directory, which must reach the disk too
// for the file to be found after the machine is lost.
bool sync_directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        write_err("journal %s: open directory %s: %s\n", path.c_str(), dir.c_str(),
                  std::strerror(errno));
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    if (!synced) write_err("journal %s: fsync directory: %s\n", path.c_str(), std::strerror(errno));
    ::close(fd);
    return synced;
}

}  // namespace

journal_file::~journal_file() {
    if (fd_ >= 0) ::close(fd_);
}

bool journal_file::open_and_replay(const char* path, bool sync, atom_table& table) {
    path_ = path;
    sync_ = sync;
    // Not O_APPEND: every write says where it goes (the end of the last good
    // record), so bytes a failed write left behind are overwritten, never
    // followed.
    fd_ = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        write_err("journal %s: open: %s\n", path, std::strerror(errno));
        return false;
    }
    // The lock belongs to the open file description, which the child of the
    // fork shares: it outlasts the parent's exit and ends with the server.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            write_err("journal %s: in use by another server (locked)\n", path);
        } else {
            write_err("journal %s: flock: %s\n", path, std::strerror(errno));
        }
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        write_err("journal %s: fstat: %s\n", path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        write_err("journal %s: not a regular file\n", path);
        return false;
    }
    const bool created = st.st_size == 0;
    // Growing the maps record by record rehashes them again and again during
    // a large replay; the file's size bounds the records it can hold, and
    // strings are rarely shorter than a few bytes.
    table.reserve(static_cast<std::size_t>(st.st_size) / replay_bytes_per_record_guess);
    if (!replay(table)) return false;
    if (sync_ && ::fdatasync(fd_) != 0) {
        write_err("journal %s: fdatasync: %s\n", path, std::strerror(errno));
        return false;
    }
    if (sync_ && created && !sync_directory_of(path_)) return false;
    return true;
}

// Reads the file in chunks, the header first, each chunk's whole records
// into the table; an incomplete record at a chunk's end waits for the next.
bool journal_file::replay(atom_table& table) {
    const char* path = path_.c_str();
    std::vector<char> buffer(read_chunk);
    std::size_t held = 0;         // bytes in buffer
    std::uint64_t held_from = 0;  // file offset of buffer[0]
    bool header_read = false;
    std::uint64_t conflict_at = 0;
    bool out_of_memory = false;
    auto load = [&](const journal::journal_record& r) {
        const association_outcome outcome = table.associate(r.value, r.text).outcome;
        if (outcome == association_outcome::accepted) return true;
        out_of_memory = outcome == association_outcome::not_stored;
        conflict_at = r.offset;
        return false;
    };
    for (;;) {
        bool at_end = false;
        while (held < buffer.size()) {
            const ssize_t n = ::pread(fd_, buffer.data() + held, buffer.size() - held,
                                      static_cast<off_t>(held_from + held));
            if (n < 0) {
                write_err("journal %s: read at offset %llu: %s\n", path, as_ull(held_from + held),
                          std::strerror(errno));
                return false;
            }
            if (n == 0) {
                at_end = true;
                break;
            }
            held += static_cast<std::size_t>(n);
        }
        std::span<const char> bytes(buffer.data(), held);
        journal::scan_result result;
        if (!header_read) {
            result = journal::check_header(bytes, at_end);
            if (result.kind == journal::stop_kind::clean_end) {
                header_read = true;
                result = journal::scan_records(bytes.subspan(journal::header_size),
                                               held_from + journal::header_size, at_end, load);
            }
        } else {
            result = journal::scan_records(bytes, held_from, at_end, load);
        }
        records_loaded_ += result.records;
        good_size_ = result.good_end;
        switch (result.kind) {
            case journal::stop_kind::need_more: {
                const std::size_t used = static_cast<std::size_t>(result.good_end - held_from);
                std::memmove(buffer.data(), buffer.data() + used, held - used);
                held -= used;
                held_from = result.good_end;
                continue;
            }
            case journal::stop_kind::clean_end:
                return true;
            case journal::stop_kind::torn_tail: {
                const std::uint64_t file_size = held_from + held;
                if (::ftruncate(fd_, static_cast<off_t>(good_size_)) != 0) {
                    write_err("journal %s: ftruncate: %s\n", path, std::strerror(errno));
                    return false;
                }
                if (file_size > good_size_) {
                    write_err("journal %s: torn last record: %llu bytes dropped at offset %llu\n",
                              path, as_ull(file_size - good_size_), as_ull(good_size_));
                }
                if (good_size_ > 0) return true;
                // An empty file, or one whose header was being written: a
                // new journal.
                const std::string header = journal::encode_header();
                if (::pwrite(fd_, header.data(), header.size(), 0) !=
                    static_cast<ssize_t>(header.size())) {
                    write_err("journal %s: write header: %s\n", path,
                              errno != 0 ? std::strerror(errno) : "short write");
                    (void)::ftruncate(fd_, 0);  // an empty file is a new journal still
                    return false;
                }
                good_size_ = header.size();
                return true;
            }
            case journal::stop_kind::stopped:
                if (out_of_memory) {
                    write_err("journal %s: out of memory at the record at offset %llu\n", path,
                              as_ull(conflict_at));
                } else {
                    write_err(
                        "journal %s: the record at offset %llu breaks the one-to-one rule: its "
                        "string or value is taken by an earlier record\n",
                        path, as_ull(conflict_at));
                }
                return false;
            default:
                write_err("journal %s: %s at offset %llu\n", path, journal::describe(result.kind),
                          as_ull(result.good_end));
                return false;
        }
    }
}

void journal_file::set_failure(int error) {
    std::snprintf(failure_, sizeof failure_, "journal: %s", std::strerror(error));
}

bool journal_file::cut_back() {
    if (::ftruncate(fd_, static_cast<off_t>(good_size_)) != 0) {
        cut_pending_ = true;
        return false;
    }
    cut_pending_ = false;
    return true;
}

bool journal_file::keep(std::int32_t value, std::string_view text) {
    if (text.size() > journal::max_string_length) {
        std::snprintf(failure_, sizeof failure_, "journal: string too long");
        return false;
    }
    // Bytes of an earlier failed write that could not be cut off then would
    // sit before this record: cut them now, or write nothing.
    if (cut_pending_ && !cut_back()) {
        set_failure(errno);
        return false;
    }
    record_.clear();
    journal::append_record(record_, value, text);
    const ssize_t n = ::pwrite(fd_, record_.data(), record_.size(), static_cast<off_t>(good_size_));
    if (n != static_cast<ssize_t>(record_.size())) {
        // A short write is the disk filling up part way.
        const int error = n < 0 ? errno : ENOSPC;
        if (n > 0) cut_back();
        set_failure(error);
        return false;
    }
    if (sync_ && ::fdatasync(fd_) != 0) {
        const int error = errno;
        cut_back();
        set_failure(error);
        return false;
    }
    good_size_ += record_.size();
    return true;
}
