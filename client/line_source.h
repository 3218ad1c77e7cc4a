// Input lines as they arrive, for the pipelined loads and batch lookups: from
// a descriptor that is polled beside the server's socket, so that a pause in
// the input never holds back what has been read, or from a stream, which
// never pauses.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

#include "client/atom_client.h"

namespace atom::detail {

class line_source {
public:
    enum class state {
        line,     // a whole line was taken
        waiting,  // nothing more can be read now without waiting: poll fd()
        end,      // the input ended
        failed,   // the input could not be read: see error()
    };

    line_source(int fd, bool keep_cr);
    line_source(std::istream& in, bool keep_cr);

    // The next line, without its line end and, unless keep_cr, without a
    // carriage return before it. A last line without a line end counts.
    state next(std::string& line);
    // The descriptor to wait on while waiting; -1 for a stream.
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::istream* in_ = nullptr;
    bool keep_cr_;
    bool ended_ = false;
    std::string buffer_;  // bytes read and not yet taken as lines
    std::size_t start_ = 0;
    std::string error_;

    state take(std::string& line, std::size_t end);
};

}  // namespace atom::detail
