#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>

// Time and peak memory of one piece of work. Peak: the resident high-water mark is reset
// (writing "5" to /proc/self/clear_refs) before the work; the figure is VmHWM after it minus
// VmRSS before it. Pages of a memory-mapped file count as resident too, so the growth of
// RssFile (clean, reclaimable file pages) is given beside it.
struct Sample {
    double ms = 0;
    double peakMiB = 0;
    double fileMiB = 0;
};

Sample measure(const std::function<void()> &work);

// The value below which `percent` of the values lie (50: the median, 100: the worst); 0 for none.
template <class Values> double percentile(Values values, int percent)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t count = values.size();
    return values[std::min(count - 1, count * std::size_t(percent) / 100)];
}
