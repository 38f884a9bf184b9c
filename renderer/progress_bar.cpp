#include "renderer/progress_bar.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr auto kQuietTime = std::chrono::milliseconds(300);
constexpr int kBarWidth = 40;

void draw(int percent) {
    char bar[kBarWidth + 1];
    const int filled = percent * kBarWidth / 100;
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\rrendering [%s] %3d%%", bar, percent);
    std::fflush(stderr);
}

} // namespace

void startProgress(ProgressBar &bar) {
    bar = {};
    bar.enabled = isatty(STDERR_FILENO) == 1;
    bar.start = std::chrono::steady_clock::now();
}

void updateProgress(ProgressBar &bar, int64_t done, int64_t total) {
    if (!bar.enabled || total <= 0)
        return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == bar.lastPercent)
        return;
    if (!bar.shown && std::chrono::steady_clock::now() - bar.start < kQuietTime)
        return;
    bar.shown = true;
    bar.lastPercent = percent;
    draw(percent);
}

void finishProgress(ProgressBar &bar, bool completed) {
    if (!bar.shown)
        return;
    if (completed && bar.lastPercent != 100)
        draw(100);
    std::fputc('\n', stderr);
    bar.shown = false;
}
