// Latencies counted in steps of 100 ns up to 100 ms, anything longer in the
// last step, and their percentiles: cheap enough to add every reply of a run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

class latency_histogram {
public:
    void add(std::int64_t ns) {
        std::size_t i = static_cast<std::size_t>(std::max<std::int64_t>(ns, 0) / step_ns);
        if (i >= counts_.size()) i = counts_.size() - 1;
        ++counts_[i];
        ++total_;
    }
    std::uint64_t total() const { return total_; }
    // The upper edge of the step that holds the given fraction of all, in
    // microseconds; 0 when nothing was added.
    double percentile_us(double fraction) const;

private:
    static constexpr std::int64_t step_ns = 100;
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(1000000);
    std::uint64_t total_ = 0;
};
