// sliderValue and postStatusText, the two calls that other threads make.
// Neither waits nor allocates: the GUI thread mirrors slider values into a
// fixed table of atomics, and posted status texts wait in lock-free slots
// until an eventfd wakes the GUI thread's Qt loop to show them.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tk {

std::atomic<int> appliedPostedTexts{0};

namespace {
std::atomic<int> sliderMirrors[kCrossThreadWindows][kMirroredControls];
std::atomic<bool> statusBarPresence[kCrossThreadWindows];
std::atomic<const char *> postedTexts[kCrossThreadWindows][kPostedFields];

// Created once and kept open to the end of the process: a MIDI thread may
// still post while the program shuts down.
std::atomic<int> wakeFd{-1};
QSocketNotifier *wakeNotifier = nullptr;

bool inWindowRange(int window) {
    return window >= 0 && window < kCrossThreadWindows;
}

// GUI thread, in whatever Qt loop runs: shows the latest text of each slot.
void applyPostedTexts() {
    uint64_t count = 0;
    if (::read(wakeFd.load(), &count, sizeof count) < 0) {
        // Nothing to drain: the slots are read anyway.
    }
    for (int window = 0; window < kCrossThreadWindows; ++window)
        for (int field = 0; field < kPostedFields; ++field)
            if (const char *text = postedTexts[window][field].exchange(nullptr)) {
                setStatusText(window, field, text);
                appliedPostedTexts.fetch_add(1);
            }
}
} // namespace

void mirrorSliderValue(int window, int id, int value) {
    if (inWindowRange(window) && id >= 0 && id < kMirroredControls)
        sliderMirrors[window][id].store(value, std::memory_order_relaxed);
}

void mirrorStatusBarPresence(int window, bool present) {
    if (inWindowRange(window))
        statusBarPresence[window].store(present);
}

bool mirroredStatusBarPresence(int window) {
    return inWindowRange(window) && statusBarPresence[window].load();
}

void clearCrossThreadSlots(int window) {
    if (!inWindowRange(window))
        return;
    for (auto &value : sliderMirrors[window])
        value.store(0, std::memory_order_relaxed);
    for (auto &text : postedTexts[window])
        text.store(nullptr);
    statusBarPresence[window].store(false);
}

bool startWatchingPostedTexts() {
    if (wakeFd.load() < 0) {
        const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0)
            return false;
        wakeFd.store(fd);
    }
    if (!wakeNotifier) {
        wakeNotifier = new QSocketNotifier(wakeFd.load(), QSocketNotifier::Read);
        QObject::connect(wakeNotifier, &QSocketNotifier::activated, [] { applyPostedTexts(); });
    }
    return true;
}

void stopWatchingPostedTexts() {
    delete wakeNotifier;
    wakeNotifier = nullptr;
}

// Any thread, never waits, never allocates.
int sliderValue(int window, int id) {
    if (!inWindowRange(window) || id < 0 || id >= kMirroredControls)
        return 0;
    return sliderMirrors[window][id].load(std::memory_order_relaxed);
}

// Any thread, including a real-time one: one atomic store and one write to
// an eventfd, which never blocks.
void postStatusText(int window, int field, const char *text) {
    if (!inWindowRange(window) || field < 0 || field >= kPostedFields || !text)
        return;
    postedTexts[window][field].store(text);
    const int fd = wakeFd.load();
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // The counter is full only after 2^64 - 2 posts: the GUI thread is
        // awake with work to do anyway.
    }
}

} // namespace tk
