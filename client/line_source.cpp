#include "client/line_source.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "client/socket_helpers.h"

namespace atom::detail {

namespace {

constexpr std::size_t read_chunk_bytes = 64 * 1024;

}  // namespace

line_source::line_source(int fd, bool keep_cr) : fd_(fd), keep_cr_(keep_cr) {}

line_source::line_source(std::istream& in, bool keep_cr) : in_(&in), keep_cr_(keep_cr) {}

line_source::state line_source::take(std::string& line, std::size_t end) {
    line.assign(buffer_, start_, end - start_);
    start_ = end < buffer_.size() ? end + 1 : end;
    if (!keep_cr_ && !line.empty() && line.back() == '\r') line.pop_back();
    return state::line;
}

line_source::state line_source::next(std::string& line) {
    if (in_ != nullptr) {
        if (!error_.empty()) return state::failed;
        if (std::getline(*in_, line)) {
            if (!keep_cr_ && !line.empty() && line.back() == '\r') line.pop_back();
            return state::line;
        }
        if (in_->bad()) {
            error_ = "read: the input stream failed";
            return state::failed;
        }
        return state::end;
    }
    for (;;) {
        if (const std::size_t end = buffer_.find('\n', start_); end != std::string::npos) {
            return take(line, end);
        }
        if (!error_.empty()) return state::failed;
        if (ended_) {
            if (start_ < buffer_.size()) return take(line, buffer_.size());
            return state::end;
        }
        // Read only what is there: a read of a pipe that poll calls ready
        // takes what has come and does not wait for more.
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error_ = system_error_text("poll");
            return state::failed;
        }
        if (ready == 0) return state::waiting;
        if (start_ > 0) {
            buffer_.erase(0, start_);
            start_ = 0;
        }
        const std::size_t had = buffer_.size();
        buffer_.resize(had + read_chunk_bytes);
        const ssize_t n = ::read(fd_, buffer_.data() + had, read_chunk_bytes);
        const int saved = errno;
        buffer_.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n < 0) {
            if (saved == EINTR) continue;
            if (saved == EAGAIN || saved == EWOULDBLOCK) return state::waiting;
            errno = saved;
            // What was read before the failure is not loaded: a line cut by
            // an I/O error may be cut short.
            error_ = system_error_text("read");
            return state::failed;
        }
        if (n == 0) ended_ = true;
    }
}

}  // namespace atom::detail
