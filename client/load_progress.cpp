#include "client/load_progress.h"

#include <cstdio>

namespace atom::detail {

load_progress::load_progress(clock_fn now) : now_(std::move(now)), start_(now_()) {}

std::string load_progress::update(const load_summary& counts) {
    const auto now = now_();
    if (now - start_ < progress_delay || (shown_ && now - last_shown_ < progress_interval)) {
        return {};
    }
    last_shown_ = now;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[160];
    std::snprintf(line, sizeof line, "\r%zu lines read, %zu accepted, %zu refused (%.0f lines/s)",
                  counts.lines, counts.accepted, counts.refused,
                  static_cast<double>(counts.accepted + counts.refused) / seconds);
    return line;
}

std::string load_progress::finish() const { return shown_ ? "\n" : ""; }

}  // namespace atom::detail
