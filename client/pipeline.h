// The loop that drives a pipelined job over one TCP connection: a load, or a
// batch of lookups. Input is read as it comes and requests are written as the
// socket takes them, replies read as they arrive; the time-out runs from the
// last request written or reply read, and only while replies are awaited, so
// a producer may pause for as long as it likes. A connection lost is reopened
// and what is unanswered sent again, once until replies flow on the new one.
//
// The job says what the loop cannot know:
//   bool fill()                  take the input that is ready; false: stop
//   bool finished() const        input ended and nothing is awaited
//   bool awaiting() const        some reply is awaited
//   bool wants_input() const     the window has room for more input
//   std::size_t settled() const  grows with every reply the job has used
//   bool take_replies()          use the replies read; false: stop
//   void on_settled()            replies were used (a progress line)
//   void resend()                queue again what the lost connection had
//   std::string& unsent()        frames to write
//   void fail(atom_status, std::string)   why the run stopped
#pragma once

#include <poll.h>

#include <chrono>
#include <string>

#include "client/exchange.h"
#include "client/line_source.h"
#include "client/socket_helpers.h"
#include "client/tcp_connection.h"

namespace atom::detail {

// True when the job finished; false when it stopped, the job told why.
template <class Job>
bool drive_pipeline(Job& job, tcp_connection& connection, line_source& in,
                    std::chrono::milliseconds timeout) {
    auto open = [&] {
        const transport_result opened = connection.open(client_clock::now() + timeout);
        if (opened == transport_result::ok) return true;
        job.fail(opened == transport_result::timed_out ? atom_status::timed_out
                                                       : atom_status::unreachable,
                 connection.error());
        return false;
    };
    if (!open()) return false;
    bool reconnected = false;  // reopened, and no reply has come on the new one yet
    deadline quiet_until = client_clock::now() + timeout;
    for (;;) {
        const bool was_awaiting = job.awaiting();
        if (!job.fill()) return false;
        if (job.finished()) return true;
        const bool awaiting = job.awaiting();
        if (awaiting && !was_awaiting) quiet_until = client_clock::now() + timeout;
        const short events = job.unsent().empty() ? POLLIN : POLLIN | POLLOUT;
        bool input_ready = false;
        const int ready =
            wait_for_socket_or_input(connection.fd(), events, job.wants_input() ? in.fd() : -1,
                                     input_ready, awaiting ? &quiet_until : nullptr);
        if (ready < 0) {
            job.fail(atom_status::unreachable, system_error_text("poll"));
            return false;
        }
        if (ready == 0 && !input_ready) {
            job.fail(atom_status::timed_out, "no reply within the time-out");
            return false;
        }
        transport_result result = transport_result::ok;
        if (ready & POLLOUT) {
            const std::size_t before = job.unsent().size();
            result = connection.write_some(job.unsent());
            if (job.unsent().size() != before) quiet_until = client_clock::now() + timeout;
        }
        if (result == transport_result::ok && (ready & POLLIN))
            result = connection.read_available();
        const std::size_t settled_before = job.settled();
        if (!job.take_replies()) return false;
        if (job.settled() != settled_before) {
            quiet_until = client_clock::now() + timeout;
            reconnected = false;  // the new connection works: a later loss may be reopened
            job.on_settled();
        }
        if (result == transport_result::lost && !reconnected) {
            reconnected = true;
            if (!open()) return false;
            job.resend();
            quiet_until = client_clock::now() + timeout;
            continue;
        }
        if (result != transport_result::ok) {
            job.fail(result == transport_result::timed_out ? atom_status::timed_out
                                                           : atom_status::unreachable,
                     connection.error());
            return false;
        }
    }
}

}  // namespace atom::detail
