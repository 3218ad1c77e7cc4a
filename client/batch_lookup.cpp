// Batch lookups over one TCP connection, pipelined like a load: a window of
// requests is unanswered at once, and each key's answer is handed over in
// input order as soon as it and every key before it are settled.
//
// Replies come in request order, so each reply is matched to the request at
// the front of the queue of awaited replies. The ambiguous replies of the
// language are settled as atom_client settles them, with one more request
// queued behind the others: "N-1" (unknown, or bound to -1?) with "N-1",
// "S" alone (unknown, or the empty string?) with "S", a 99-byte string with
// its own lookup. intern sends "A candidate key" and "S key" for each key;
// a refusal naming the candidate means it belongs to another string, and
// the next candidate goes to the back of the queue.

#include <deque>
#include <optional>

#include "client/atom_client.h"
#include "client/exchange.h"
#include "client/line_source.h"
#include "client/pipeline.h"
#include "client/request_text.h"
#include "client/tcp_connection.h"
#include "client/text_escaping.h"

namespace atom::detail {

namespace {

constexpr std::size_t batch_window_requests = 1024;
constexpr std::size_t batch_window_bytes = 128 * 1024;

struct key_item {
    std::string line;                      // as read
    std::string text;                      // the string asked about (get, intern)
    std::int32_t value = 0;                // name: the value asked about
    unsigned candidate = 0;                // intern: the candidate being tried
    std::optional<pair_in_force> refusal;  // intern: the refusal read for it
    atom_answer answer;
    bool settled = false;
};

enum class step {
    lookup,          // "S key" (get) or "N value" (name)
    confirm_minus,   // get: "N-1", who holds -1
    confirm_empty,   // name: "S", the value of the empty string
    confirm_whole,   // name: "S" and the 99 bytes returned
    intern_attempt,  // "A candidate key" and "S key": perhaps an "E", then "N"
};

struct awaited {
    std::size_t item;  // number of the key, from 0
    step what;
    std::string frames;  // what was sent, to send again on a new connection
    std::size_t requests;
};

class batch_runner {
public:
    batch_runner(const client_options& options, lookup_kind kind, line_source& in,
                 const batch_answer_fn& answer, const line_format& format)
        : options_(options),
          kind_(kind),
          in_(in),
          answer_(answer),
          format_(format),
          connection_(options.host, options.tcp_port) {}

    batch_summary run() {
        if (!drive_pipeline(*this, connection_, in_, options_.timeout)) return summary_;
        if (!read_error_.empty()) return stop(atom_status::bad_request, read_error_);
        return summary_;
    }

    // What drive_pipeline asks of a job.
    bool fill() { return read_keys(); }
    bool finished() const { return input_done_ && items_.empty(); }
    bool awaiting() const { return !awaited_.empty(); }
    bool wants_input() const { return !input_done_ && window_has_room() && refill_due(); }
    std::size_t settled() const { return awaited_.size() + settled_count_; }
    bool take_replies() { return take_awaited_replies() && hand_over(); }
    void on_settled() {}
    void resend() { resend_awaited(); }
    std::string& unsent() { return unsent_; }
    void fail(atom_status status, std::string error) { stop(status, std::move(error)); }

private:
    const client_options& options_;
    lookup_kind kind_;
    line_source& in_;
    const batch_answer_fn& answer_;
    line_format format_;
    tcp_connection connection_;
    batch_summary summary_;
    std::deque<key_item> items_;  // read and not yet handed over
    std::size_t first_item_ = 0;  // the number of items_.front()
    std::deque<awaited> awaited_;
    std::size_t unanswered_bytes_ = 0;
    std::size_t settled_count_ = 0;
    std::string unsent_;
    bool input_done_ = false;
    std::string read_error_;
    // Once -1 is bound it never changes: its string, when known.
    std::optional<std::string> holder_of_minus_one_;

    bool window_has_room() const {
        return awaited_.size() < batch_window_requests && unanswered_bytes_ < batch_window_bytes;
    }

    // The window is refilled only once half of it is answered: requests then
    // go out many to a write instead of one for each reply read.
    bool refill_due() const { return awaited_.size() <= batch_window_requests / 2; }

    key_item& item(std::size_t number) { return items_[number - first_item_]; }

    void send(std::size_t number, step what, std::string frames, std::size_t requests) {
        unsent_ += frames;
        unanswered_bytes_ += frames.size();
        awaited_.push_back({number, what, std::move(frames), requests});
    }

    void settle(key_item& k, atom_status status, std::int32_t value, std::string text,
                bool truncated = false) {
        k.answer = atom_answer{status, value, std::move(text), {}, truncated};
        k.settled = true;
        ++settled_count_;
    }

    void settle_unsendable(key_item& k, std::string why) {
        k.answer = refused_before_sending(std::move(why));
        k.settled = true;
        ++settled_count_;
    }

    void send_intern_attempt(std::size_t number) {
        key_item& k = item(number);
        const std::int32_t candidate = intern_candidate(k.text, k.candidate);
        const std::string request = association_request(candidate, k.text);
        if (std::string why = why_unsendable(k.text, request, max_frame_body); !why.empty()) {
            return settle_unsendable(k, std::move(why));
        }
        k.refusal.reset();
        send(number, step::intern_attempt,
             frame_of(request) + frame_of(string_lookup_request(k.text)), 2);
    }

    // Takes the keys there are now while the window has room; false when
    // the caller stopped the batch.
    bool read_keys() {
        if (!refill_due()) return hand_over();
        std::string line;
        while (!input_done_ && window_has_room()) {
            const line_source::state got = in_.next(line);
            if (got == line_source::state::waiting) break;
            if (got != line_source::state::line) {
                input_done_ = true;
                if (got == line_source::state::failed) read_error_ = in_.error();
                break;
            }
            ++summary_.keys;
            const std::size_t number = first_item_ + items_.size();
            items_.push_back({});
            key_item& k = items_.back();
            k.line = line;
            std::string key = line;
            if (format_.escaped) {
                std::string why;
                std::optional<std::string> text = unescape(line, &why);
                if (!text) {
                    settle_unsendable(k, "not validly escaped: " + why);
                    continue;
                }
                key = std::move(*text);
            }
            if (kind_ == lookup_kind::atom_to_string) {
                const std::optional<std::int32_t> value = parse_value(key);
                if (!value) {
                    settle_unsendable(k, "VALUE must be a decimal 32-bit number");
                    continue;
                }
                k.value = *value;
                send(number, step::lookup, frame_of(value_lookup_request(*value)), 1);
                continue;
            }
            k.text = std::move(key);
            if (kind_ == lookup_kind::intern) {
                send_intern_attempt(number);
                continue;
            }
            const std::string request = string_lookup_request(k.text);
            if (std::string why = why_unsendable(k.text, request, max_frame_body); !why.empty()) {
                settle_unsendable(k, std::move(why));
                continue;
            }
            send(number, step::lookup, frame_of(request), 1);
        }
        return hand_over();
    }

    // Hands over the settled keys at the front, in order.
    bool hand_over() {
        while (!items_.empty() && items_.front().settled) {
            const key_item& k = items_.front();
            switch (k.answer.status) {
                case atom_status::found:
                    ++summary_.found;
                    break;
                case atom_status::bad_request:
                    ++summary_.malformed;
                    break;
                default:
                    ++summary_.not_found;
                    break;
            }
            if (answer_ && !answer_(k.line, k.answer)) {
                stop(atom_status::bad_request, "stopped by the caller");
                return false;
            }
            items_.pop_front();
            ++first_item_;
            --settled_count_;
        }
        return true;
    }

    void resend_awaited() {
        unsent_.clear();
        for (awaited& a : awaited_) {
            if (a.what == step::intern_attempt) item(a.item).refusal.reset();
            unsent_ += a.frames;
        }
    }

    bool unreadable(std::string_view reply, std::string_view expected) {
        stop(atom_status::bad_reply, "expected " + std::string(expected) +
                                         " from the server, got \"" + std::string(reply) + "\"");
        return false;
    }

    bool take_awaited_replies() {
        std::string reply;
        while (connection_.take_frame(reply)) {
            if (awaited_.empty()) return unreadable(reply, "no reply (all keys answered)");
            key_item& k = item(awaited_.front().item);
            if (awaited_.front().what == step::intern_attempt && !reply.empty() &&
                reply[0] == 'E' && !k.refusal) {
                k.refusal = read_refusal_reply(reply);
                if (!k.refusal) return unreadable(reply, "E, a value and a string");
                continue;
            }
            const awaited a = std::move(awaited_.front());
            awaited_.pop_front();
            unanswered_bytes_ -= a.frames.size();
            if (!answer_one(a, k, reply)) return false;
        }
        return true;
    }

    bool answer_one(const awaited& a, key_item& k, const std::string& reply) {
        switch (a.what) {
            case step::lookup:
                if (kind_ == lookup_kind::string_to_atom) {
                    const std::optional<std::int32_t> value = read_value_reply(reply);
                    if (!value) return unreadable(reply, "N and a value");
                    if (*value != -1) {
                        settle(k, atom_status::found, *value, k.text);
                    } else if (holder_of_minus_one_) {
                        settle_minus_one(k, *holder_of_minus_one_);
                    } else {
                        send(a.item, step::confirm_minus, frame_of(value_lookup_request(-1)), 1);
                    }
                    return true;
                } else {
                    std::optional<std::string> text = read_string_reply(reply);
                    if (!text) return unreadable(reply, "S and a string");
                    if (text->size() == max_reply_string) {
                        k.text = std::move(*text);
                        send(a.item, step::confirm_whole, frame_of(string_lookup_request(k.text)),
                             1);
                    } else if (!text->empty()) {
                        settle(k, atom_status::found, k.value, std::move(*text));
                    } else if (k.value == -1) {
                        settle(k, atom_status::not_found, 0, {});
                    } else {
                        send(a.item, step::confirm_empty, frame_of(string_lookup_request("")), 1);
                    }
                    return true;
                }
            case step::confirm_minus: {
                const std::optional<std::string> holder = read_string_reply(reply);
                if (!holder) return unreadable(reply, "S and a string");
                if (!holder->empty()) holder_of_minus_one_ = *holder;
                settle_minus_one(k, *holder);
                return true;
            }
            case step::confirm_empty: {
                const std::optional<std::int32_t> value = read_value_reply(reply);
                if (!value) return unreadable(reply, "N and a value");
                if (*value == k.value) {
                    settle(k, atom_status::found, k.value, "");
                } else {
                    settle(k, atom_status::not_found, 0, {});
                }
                return true;
            }
            case step::confirm_whole: {
                const std::optional<std::int32_t> value = read_value_reply(reply);
                if (!value) return unreadable(reply, "N and a value");
                const bool truncated = *value != k.value || k.value == -1;
                settle(k, atom_status::found, k.value, k.text, truncated);
                return true;
            }
            case step::intern_attempt: {
                const std::optional<std::int32_t> bound = read_value_reply(reply);
                if (!bound) return unreadable(reply, "N and a value");
                const std::int32_t candidate = intern_candidate(k.text, k.candidate);
                if (*bound != -1 || (k.refusal && k.refusal->value == -1)) {
                    settle(k, atom_status::found, *bound, k.text);
                } else if (k.refusal && k.refusal->value == candidate) {
                    if (++k.candidate == max_intern_candidates) {
                        settle(k, atom_status::refused, 0, {});
                        k.answer.error = "no free value among " +
                                         std::to_string(max_intern_candidates) + " candidates";
                    } else {
                        send_intern_attempt(a.item);
                    }
                } else {
                    return unreadable(reply, "a refusal, or N" + std::to_string(candidate));
                }
                return true;
            }
        }
        return true;
    }

    void settle_minus_one(key_item& k, const std::string& holder) {
        if (!k.text.empty() && same_string(holder, k.text)) {
            settle(k, atom_status::found, -1, k.text);
        } else {
            settle(k, atom_status::not_found, 0, {});
        }
    }

    batch_summary stop(atom_status status, std::string error) {
        summary_.status = status;
        summary_.error = std::move(error);
        return summary_;
    }
};

}  // namespace

}  // namespace atom::detail

namespace atom {

batch_summary lookup_batch(const client_options& options, lookup_kind kind, std::istream& in,
                           const batch_answer_fn& answer, const line_format& format) {
    detail::line_source source(in, format.keep_cr);
    return detail::batch_runner(options, kind, source, answer, format).run();
}

batch_summary lookup_batch(const client_options& options, lookup_kind kind, int fd,
                           const batch_answer_fn& answer, const line_format& format) {
    detail::line_source source(fd, format.keep_cr);
    return detail::batch_runner(options, kind, source, answer, format).run();
}

}  // namespace atom
