#pragma once

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
