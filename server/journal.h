// The journal: the file that makes a server's associations outlive it. At
// start-up it is opened (made when missing), locked against a second server
// and read back into the table; while serving, every new association is
// written to it before associate returns, so no reply can reveal a pair the
// file does not hold. The bytes are those of atoms/journal_format.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "atoms/atom_table.h"

class journal_file {
public:
    journal_file() = default;
    ~journal_file();
    journal_file(const journal_file&) = delete;
    journal_file& operator=(const journal_file&) = delete;

    // Opens and locks path and loads its records into table, which must have
    // no keeper yet. A torn last record is cut off, with a message saying how
    // many bytes were dropped. False, the message written and the file left
    // as it was, when the file cannot be opened, locked or read, is damaged,
    // is not a journal or holds pairs that break the one-to-one rule: the
    // server must not start then. With sync, each write reaches the disk
    // (fdatasync) before keep returns.
    bool open_and_replay(const char* path, bool sync, atom_table& table);

    // Appends one record with a single write. When the write fails or falls
    // short, the file is cut back to its last good record, so that a later
    // record never lands behind a broken one.
    bool keep(std::int32_t value, std::string_view text);
    // "journal: " and the system's text for the latest failure.
    const char* failure() const { return failure_; }
    // keep and failure as the table calls them.
    association_keeper keeper() {
        return [this](std::int32_t value, std::string_view text) {
            return keep(value, text) ? nullptr : failure();
        };
    }

    std::uint64_t records_loaded() const { return records_loaded_; }

private:
    bool replay(atom_table& table);
    bool cut_back();
    void set_failure(int error);

    int fd_ = -1;
    std::string path_;
    bool sync_ = false;
    std::uint64_t good_size_ = 0;  // the file's bytes up to the end of the last good record
    bool cut_pending_ = false;     // a failed write left bytes past good_size_
    std::uint64_t records_loaded_ = 0;
    std::string record_;  // reused for each record
    char failure_[128] = "journal: not open";
};
