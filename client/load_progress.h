// The progress line of a long load: nothing during the first second, then
// the counts so far a few times a second, redrawn in place. The clock is a
// parameter, so that tests move it instead of waiting.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "client/pair_loader.h"

namespace atom::detail {

class load_progress {
public:
    using clock_fn = std::function<std::chrono::steady_clock::time_point()>;

    explicit load_progress(clock_fn now = std::chrono::steady_clock::now);

    // The text to write on standard error now, or nothing.
    std::string update(const load_summary& counts);
    // What ends the line, if one was shown.
    std::string finish() const;

private:
    clock_fn now_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_shown_{};
    bool shown_ = false;
};

inline constexpr std::chrono::milliseconds progress_delay{1000};
inline constexpr std::chrono::milliseconds progress_interval{250};

}  // namespace atom::detail
