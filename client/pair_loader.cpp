#include "client/pair_loader.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "client/line_source.h"
#include "client/pipeline.h"
#include "client/request_text.h"
#include "client/tcp_connection.h"
#include "client/text_escaping.h"

namespace atom::detail {

namespace {

// Requests written and not yet answered are kept below this many bytes as
// well, so that long strings do not make the window large.
constexpr std::size_t load_window_bytes = 128 * 1024;

struct pending_line {
    std::size_t line;
    value_string_line pair;
    std::optional<pair_in_force> refusal;  // line by line: the refusal read so far
};

struct refusal_reply {
    pair_in_force pair;
    bool whole;  // shorter than the server's longest reply, so not cut short
};

struct batch {
    std::vector<pending_line> lines;
    bool line_by_line = false;            // "A" and "S" per line; otherwise "A" per line, then "P"
    std::size_t answered = 0;             // line by line: lines answered so far
    std::vector<refusal_reply> refusals;  // otherwise: the refusals read so far
    std::size_t request_bytes = 0;
};

std::string frames_for(const batch& b) {
    std::string frames;
    for (const pending_line& l : b.lines) {
        frames += frame_of(association_request(l.pair.value, l.pair.text));
        if (b.line_by_line) frames += frame_of(string_lookup_request(l.pair.text));
    }
    if (!b.line_by_line) frames += frame_of(ping_request);
    return frames;
}

// Whether the server could have refused the line because of the pair in force.
bool can_refuse(const pair_in_force& in_force, const value_string_line& line) {
    return (in_force.value == line.value && in_force.text != line.text) ||
           (in_force.text == line.text && in_force.value != line.value);
}

class loader {
public:
    loader(const client_options& options, line_source& in, const load_progress_fn& progress,
           bool escaped)
        : options_(options),
          in_(in),
          progress_(progress),
          escaped_(escaped),
          connection_(options.host, options.tcp_port) {}

    load_summary run() {
        if (!drive_pipeline(*this, connection_, in_, options_.timeout)) return finish();
        if (!read_error_.empty()) return stop(atom_status::bad_request, read_error_);
        return finish();
    }

    // What drive_pipeline asks of a job.
    bool fill() {
        queue_lines();
        return true;
    }
    bool finished() const { return input_done_ && batches_.empty(); }
    bool awaiting() const { return !batches_.empty(); }
    bool wants_input() const { return !input_done_ && window_has_room(); }
    std::size_t settled() const { return summary_.accepted + summary_.refused; }
    bool take_replies() { return take_answers(); }
    void on_settled() {
        if (progress_) progress_(summary_);
    }
    void resend() { resend_unanswered(); }
    std::string& unsent() { return unsent_; }
    void fail(atom_status status, std::string error) { stop(status, std::move(error)); }

private:
    const client_options& options_;
    line_source& in_;
    const load_progress_fn& progress_;
    bool escaped_;
    tcp_connection connection_;
    load_summary summary_;
    std::deque<batch> batches_;  // sent, or queued to send, and not yet answered
    std::size_t unanswered_lines_ = 0;
    std::size_t unanswered_bytes_ = 0;
    std::string unsent_;
    bool input_done_ = false;
    std::string read_error_;

    bool window_has_room() const {
        return unanswered_lines_ < load_window_lines && unanswered_bytes_ < load_window_bytes;
    }

    // Reads what lines there are now, while the window has room, and queues
    // them: a pause in the input sends a short batch rather than holding
    // lines back.
    void queue_lines() {
        batch next;
        std::string line;
        while (!input_done_ && unanswered_lines_ + next.lines.size() < load_window_lines &&
               unanswered_bytes_ < load_window_bytes) {
            const line_source::state got = in_.next(line);
            if (got == line_source::state::waiting) break;
            if (got != line_source::state::line) {
                input_done_ = true;
                if (got == line_source::state::failed) read_error_ = in_.error();
                break;
            }
            const std::size_t number = ++summary_.lines;
            std::string why;
            std::optional<value_string_line> pair = parse_pair_line(line, why, escaped_);
            if (!pair) {
                ++summary_.malformed;
                summary_.issues.push_back({number, why, {0, line}, {}});
                continue;
            }
            next.lines.push_back({number, std::move(*pair), std::nullopt});
            if (next.lines.size() == load_batch_lines) queue(std::exchange(next, batch{}));
        }
        if (!next.lines.empty()) queue(std::move(next));
    }

    void queue(batch b) {
        std::string frames = frames_for(b);
        b.request_bytes = frames.size();
        unsent_ += frames;
        unanswered_lines_ += b.lines.size();
        unanswered_bytes_ += b.request_bytes;
        batches_.push_back(std::move(b));
    }

    batch take_front() {
        batch b = std::move(batches_.front());
        batches_.pop_front();
        unanswered_lines_ -= b.lines.size();
        unanswered_bytes_ -= b.request_bytes;
        return b;
    }

    // After a new connection: what was written to the old one and not
    // answered is sent again. Lines already counted are not.
    void resend_unanswered() {
        unsent_.clear();
        for (batch& b : batches_) {
            b.lines.erase(b.lines.begin(), b.lines.begin() + static_cast<long>(b.answered));
            b.answered = 0;
            b.refusals.clear();
            for (pending_line& l : b.lines) l.refusal.reset();
            unsent_ += frames_for(b);
        }
    }

    void count_refusal(const pending_line& l, pair_in_force in_force) {
        summary_.issues.push_back({l.line, {}, l.pair, std::move(in_force)});
        ++summary_.refused;
    }

    // Matches a batch's refusals to its lines; false when that cannot be done
    // for certain.
    bool settle_batch(const batch& b) {
        std::vector<const refusal_reply*> verdicts(b.lines.size(), nullptr);
        std::size_t cursor = 0;
        for (const refusal_reply& r : b.refusals) {
            if (!r.whole) return false;
            while (cursor < b.lines.size() && !can_refuse(r.pair, b.lines[cursor].pair)) {
                ++cursor;
            }
            if (cursor == b.lines.size()) return false;
            verdicts[cursor++] = &r;
        }
        for (std::size_t i = 0; i < b.lines.size(); ++i) {
            if (verdicts[i] != nullptr) {
                count_refusal(b.lines[i], verdicts[i]->pair);
            } else {
                ++summary_.accepted;
            }
        }
        return true;
    }

    // Matches the replies read so far to their lines; false when a reply
    // makes no sense, which ends the load.
    bool take_answers() {
        std::string reply;
        while (connection_.take_frame(reply)) {
            if (batches_.empty()) return unreadable(reply, "no reply (all lines answered)");
            batch& b = batches_.front();
            if (!b.line_by_line) {
                if (!reply.empty() && reply[0] == 'E') {
                    std::optional<pair_in_force> pair = read_refusal_reply(reply);
                    if (!pair) return unreadable(reply, "E, a value and a string");
                    b.refusals.push_back({std::move(*pair), reply.size() < max_formatted_reply});
                } else if (is_alive_reply(reply)) {
                    batch settled = take_front();
                    if (!settle_batch(settled)) {
                        settled.line_by_line = true;
                        settled.refusals.clear();
                        queue(std::move(settled));
                    }
                } else {
                    return unreadable(reply, "E or R");
                }
                continue;
            }
            pending_line& l = b.lines[b.answered];
            if (!reply.empty() && reply[0] == 'E' && !l.refusal) {
                l.refusal = read_refusal_reply(reply);
                if (!l.refusal) return unreadable(reply, "E, a value and a string");
                continue;
            }
            const std::optional<std::int32_t> bound = read_value_reply(reply);
            if (!bound) return unreadable(reply, "N and a value");
            if (l.refusal) {
                // A refusal names the requested value when that value has
                // another string, and the string's own value otherwise; its
                // string may be cut short, the line's is whole.
                pair_in_force in_force = *l.refusal;
                if (in_force.value != l.pair.value) in_force.text = l.pair.text;
                count_refusal(l, std::move(in_force));
            } else if (*bound == l.pair.value) {
                ++summary_.accepted;
            } else {
                return unreadable(reply, "a refusal, or N" + std::to_string(l.pair.value));
            }
            if (++b.answered == b.lines.size()) take_front();
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

std::optional<value_string_line> parse_pair_line(std::string_view line, std::string& why,
                                                 bool escaped) {
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
    if (escaped) {
        std::string bad;
        std::optional<std::string> text = unescape(pair.text, &bad);
        if (!text) {
            why = "the string is not validly escaped (" + bad + ")";
            return std::nullopt;
        }
        pair.text = std::move(*text);
    }
    why = why_unsendable(pair.text, association_request(pair.value, pair.text), max_frame_body);
    if (!why.empty()) return std::nullopt;
    return pair;
}

}  // namespace atom::detail

namespace atom {

load_summary load_pairs(const client_options& options, std::istream& in,
                        const load_progress_fn& progress, const line_format& format) {
    detail::line_source source(in, format.keep_cr);
    return detail::loader(options, source, progress, format.escaped).run();
}

load_summary load_pairs(const client_options& options, int fd, const load_progress_fn& progress,
                        const line_format& format) {
    detail::line_source source(fd, format.keep_cr);
    return detail::loader(options, source, progress, format.escaped).run();
}

}  // namespace atom
