// sliderValue, postStatusText and postWakeUp, the calls that other threads
// make. None waits or allocates: the GUI thread mirrors slider values into a
// fixed table of atomics, each status field's latest posted text waits in a
// lock-free slot, and each wake-up is a bit of one atomic mask; an eventfd
// wakes the GUI thread's Qt loop to act on them, and only when a slot or a bit
// changed.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tk {

std::atomic<int> postedTextWakeUps{0};

namespace {
std::atomic<int> sliderMirrors[kCrossThreadWindows][kMirroredControls];
std::atomic<bool> statusBarPresence[kCrossThreadWindows];
// The latest text posted to each field; nullptr: none since the window opened.
std::atomic<const char *> postedTexts[kCrossThreadWindows][kPostedFields];
// GUI thread only: the posted text each field shows.
const char *shownTexts[kCrossThreadWindows][kPostedFields];

// Created once and kept open to the end of the process: a MIDI thread may
// still post while the program shuts down.
std::atomic<int> wakeFd{-1};
QSocketNotifier *wakeNotifier = nullptr;

constexpr int kWakeUpSignals = 8;
// Bit n set: signal n was posted since its handler last ran.
std::atomic<unsigned> pendingWakeUps{0};
// GUI thread only.
void (*wakeUpHandlers[kWakeUpSignals])() = {};
int wakeUpsAdded = 0;

// Any thread: one write to the non-blocking eventfd.
void wakeGuiThread() {
    const int fd = wakeFd.load();
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // The counter is full only after 2^64 - 2 posts: the GUI thread is
        // awake with work to do anyway.
    }
}

bool inWindowRange(int window) {
    return window >= 0 && window < kCrossThreadWindows;
}

// GUI thread, in whatever Qt loop runs: shows each field's latest text.
void applyPostedTexts() {
    uint64_t count = 0;
    if (::read(wakeFd.load(), &count, sizeof count) < 0) {
        // Nothing to drain: the slots are read anyway.
    }
    postedTextWakeUps.fetch_add(1);
    for (int window = 0; window < kCrossThreadWindows; ++window)
        for (int field = 0; field < kPostedFields; ++field) {
            const char *text = postedTexts[window][field].load();
            if (text && text != shownTexts[window][field]) {
                setStatusText(window, field, text);
                shownTexts[window][field] = text;
            }
        }
    const unsigned pending = pendingWakeUps.exchange(0);
    for (int signal = 0; signal < kWakeUpSignals; ++signal)
        if ((pending & (1u << signal)) && wakeUpHandlers[signal])
            wakeUpHandlers[signal]();
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
    for (int field = 0; field < kPostedFields; ++field) {
        postedTexts[window][field].store(nullptr);
        shownTexts[window][field] = nullptr;
    }
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

// Any thread, including a real-time one: one atomic exchange and, when the
// text changed, one write to an eventfd, which never blocks. Every change of a
// slot is followed by a wake-up, so the GUI thread's last look at the slot
// comes after its last change, whichever of several posting threads made it.
void postStatusText(int window, int field, const char *text) {
    if (!inWindowRange(window) || field < 0 || field >= kPostedFields || !text)
        return;
    if (postedTexts[window][field].exchange(text) == text)
        return;
    wakeGuiThread();
}

int addWakeUp(void (*handler)()) {
    if (wakeUpsAdded == kWakeUpSignals)
        return -1;
    wakeUpHandlers[wakeUpsAdded] = handler;
    return wakeUpsAdded++;
}

// Any thread, including a real-time one: as postStatusText, a bit that was
// already set has its wake-up on the way.
void postWakeUp(int signal) {
    if (signal < 0 || signal >= kWakeUpSignals)
        return;
    const unsigned bit = 1u << signal;
    if ((pendingWakeUps.fetch_or(bit) & bit) == 0)
        wakeGuiThread();
}

} // namespace tk
