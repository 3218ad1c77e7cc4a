#include "client/pair_loader.h"

#include <poll.h>

#include <algorithm>
#include <deque>

#include "client/request_text.h"
#include "client/tcp_connection.h"

namespace {

// Requests written and not yet answered are kept below this many bytes as
// well, so that long strings do not make the window large.
constexpr std::size_t load_window_bytes = 128 * 1024;

struct unanswered_line {
    std::size_t line;
    value_string_line pair;
    std::size_t request_bytes;
    std::optional<pair_in_force> refusal;
};

std::string frames_for(const value_string_line& pair) {
    return frame_of(association_request(pair.value, pair.text)) +
           frame_of(string_lookup_request(pair.text));
}

class loader {
public:
    loader(const client_options& options, std::istream& in,
           const std::function<void(const load_summary&)>& progress)
        : options_(options), in_(in), progress_(progress),
          connection_(options.host, options.tcp_port) {}

    load_summary run() {
        if (!open()) return finish();
        deadline quiet_until = client_clock::now() + options_.timeout;
        for (;;) {
            queue_lines();
            if (input_done_ && unanswered_.empty()) break;
            const short events = unsent_.empty() ? POLLIN : POLLIN | POLLOUT;
            const int ready = wait_for(connection_.fd(), events, quiet_until);
            if (ready < 0) return stop(atom_status::unreachable, system_error_text("poll"));
            if (ready == 0) {
                return stop(atom_status::timed_out, "no reply within the time-out");
            }
            transport_result result = transport_result::ok;
            if (ready & POLLOUT) result = connection_.write_some(unsent_);
            if (result == transport_result::ok && (ready & POLLIN)) {
                result = connection_.read_available();
            }
            const std::size_t answered_before = summary_.accepted + summary_.refused;
            if (!take_replies()) return finish();
            if (summary_.accepted + summary_.refused != answered_before) {
                quiet_until = client_clock::now() + options_.timeout;
                if (progress_) progress_(summary_);
            }
            if (result == transport_result::lost && !reconnected_) {
                reconnected_ = true;
                if (!open()) return finish();
                resend_unanswered();
                quiet_until = client_clock::now() + options_.timeout;
                continue;
            }
            if (result != transport_result::ok) {
                return stop(result == transport_result::timed_out ? atom_status::timed_out
                                                                  : atom_status::unreachable,
                            connection_.error());
            }
        }
        return finish();
    }

private:
    const client_options& options_;
    std::istream& in_;
    const std::function<void(const load_summary&)>& progress_;
    tcp_connection connection_;
    load_summary summary_;
    std::deque<unanswered_line> unanswered_;
    std::size_t unanswered_bytes_ = 0;
    std::string unsent_;
    bool input_done_ = false;
    bool reconnected_ = false;

    bool open() {
        const transport_result result =
            connection_.open(client_clock::now() + options_.timeout);
        if (result == transport_result::ok) return true;
        summary_.status = result == transport_result::timed_out ? atom_status::timed_out
                                                                : atom_status::unreachable;
        summary_.error = connection_.error();
        return false;
    }

    void queue_lines() {
        std::string line;
        while (!input_done_ && unanswered_.size() < load_window_lines &&
               unanswered_bytes_ < load_window_bytes) {
            if (!std::getline(in_, line)) {
                input_done_ = true;
                break;
            }
            const std::size_t number = ++summary_.lines;
            std::string why;
            std::optional<value_string_line> pair = parse_pair_line(line, why);
            if (!pair) {
                ++summary_.malformed;
                summary_.issues.push_back({number, why, {0, line}, {}});
                continue;
            }
            std::string frames = frames_for(*pair);
            unanswered_bytes_ += frames.size();
            unsent_ += frames;
            unanswered_.push_back({number, std::move(*pair), frames.size(), std::nullopt});
        }
    }

    void resend_unanswered() {
        unsent_.clear();
        for (unanswered_line& line : unanswered_) {
            line.refusal.reset();
            unsent_ += frames_for(line.pair);
        }
    }

    // Matches the replies read so far to their lines; false when a reply
    // makes no sense, which ends the load.
    bool take_replies() {
        std::string reply;
        while (connection_.take_frame(reply)) {
            if (unanswered_.empty()) return unreadable(reply, "no reply (all lines answered)");
            unanswered_line& line = unanswered_.front();
            if (!reply.empty() && reply[0] == 'E' && !line.refusal) {
                line.refusal = read_refusal_reply(reply);
                if (!line.refusal) return unreadable(reply, "E, a value and a string");
                continue;
            }
            const std::optional<std::int32_t> bound = read_value_reply(reply);
            if (!bound) return unreadable(reply, "N and a value");
            if (line.refusal) {
                load_issue issue{line.line, {}, line.pair, *line.refusal};
                // A refusal names the requested value when that value has
                // another string, and the string's own value otherwise.
                if (line.refusal->value != line.pair.value) issue.in_force.text = line.pair.text;
                summary_.issues.push_back(std::move(issue));
                ++summary_.refused;
            } else if (*bound == line.pair.value) {
                ++summary_.accepted;
            } else {
                return unreadable(reply, "a refusal, or N" + std::to_string(line.pair.value));
            }
            unanswered_bytes_ -= line.request_bytes;
            unanswered_.pop_front();
        }
        return true;
    }

    bool unreadable(std::string_view reply, const std::string& expected) {
        summary_.status = atom_status::bad_reply;
        summary_.error =
            "expected " + expected + " from the server, got \"" + std::string(reply) + "\"";
        return false;
    }

    load_summary stop(atom_status status, std::string error) {
        summary_.status = status;
        summary_.error = std::move(error);
        return finish();
    }

    load_summary finish() {
        std::stable_sort(summary_.issues.begin(), summary_.issues.end(),
                         [](const load_issue& a, const load_issue& b) { return a.line < b.line; });
        return std::move(summary_);
    }
};

}  // namespace

std::optional<value_string_line> parse_pair_line(std::string_view line, std::string& why) {
    const std::size_t separator = line.find_first_of(" \t");
    if (separator == std::string_view::npos) {
        why = "not a VALUE STRING line (no blank after the value)";
        return std::nullopt;
    }
    const std::optional<std::int32_t> value = parse_value(line.substr(0, separator));
    if (!value) {
        why = "the value is not a decimal 32-bit number";
        return std::nullopt;
    }
    value_string_line pair{*value, std::string(line.substr(separator + 1))};
    why = why_unsendable(pair.text, association_request(pair.value, pair.text),
                         max_frame_request);
    if (!why.empty()) return std::nullopt;
    return pair;
}

load_summary load_pairs(const client_options& options, std::istream& in,
                        const std::function<void(const load_summary&)>& progress) {
    return loader(options, in, progress).run();
}
