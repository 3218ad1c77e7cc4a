#include "bench/latency_histogram.h"

double latency_histogram::percentile_us(double fraction) const {
    if (total_ == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(total_ - 1)) + 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        seen += counts_[i];
        if (seen >= rank) return static_cast<double>((i + 1) * step_ns) / 1000.0;
    }
    return static_cast<double>(counts_.size() * step_ns) / 1000.0;
}
