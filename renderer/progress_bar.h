#pragma once

#include <chrono>
#include <cstdint>

// A progress bar on stderr, drawn only when stderr is a terminal and the work
// has already taken longer than a moment, so quick renders and scripts see nothing.
struct ProgressBar {
    bool enabled = false;
    bool shown = false;
    int lastPercent = -1;
    std::chrono::steady_clock::time_point start;
};

void startProgress(ProgressBar &bar);
void updateProgress(ProgressBar &bar, int64_t done, int64_t total);
// Completes the line (at 100% when the work succeeded) so later messages start afresh.
void finishProgress(ProgressBar &bar, bool completed);
