#include "test_window.h"
#include "toolkit/cross_thread.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

using namespace tk;
using namespace std::chrono_literals;

using CrossThreadTest = ToolkitWindowTest;

// The MIDI thread posts a status text and the audio thread reads a slider while
// the GUI thread sleeps in waitEvent: the text must show without any user
// event, and waitEvent must go on waiting for one.
TEST_F(CrossThreadTest, PostedTextWakesTheWaitingGuiThreadAndSlidersReadAnywhere) {
    open();
    createSlider(0, 3, 10, 10, 20, 80, 1, 2000, Orientation::Vertical);
    setState(0, 3, 1234);
    createOptionButton(0, 11, 40, 10, 60, 20, "OR");
    createStatusBar(0);
    addStatusField(0, 100);
    addStatusField(0, 100);
    auto *button = static_cast<QAbstractButton *>(controlWidget(0, 11));

    std::atomic<int> slider{0};
    std::atomic<bool> barSeen{false}, shown{false};
    std::thread other([&] {
        std::this_thread::sleep_for(30ms);
        slider = sliderValue(0, 3);
        barSeen = statusBarExists(0);
        const int before = postedTextWakeUps.load();
        postStatusText(0, 1, "On");
        for (int i = 0; i < 200 && postedTextWakeUps.load() == before; ++i)
            std::this_thread::sleep_for(10ms);
        shown = postedTextWakeUps.load() != before;
        // Now a user action ends the wait.
        QMetaObject::invokeMethod(
            button, [button] { button->click(); }, Qt::QueuedConnection);
    });
    const Event e = waitEvent(-1);
    other.join();
    EXPECT_TRUE(shown);
    EXPECT_EQ(statusFieldLabel(0, 1)->text(), "On");
    EXPECT_EQ(e.kind, EventKind::Control);
    EXPECT_EQ(e.id, 11);
    EXPECT_EQ(slider, 1234);
    EXPECT_TRUE(barSeen);
}

TEST_F(CrossThreadTest, LatestPostedTextWinsAndOthersAreIgnored) {
    open();
    createStatusBar(0);
    addStatusField(0, 100);
    postStatusText(0, 0, "No MIDI IN");
    postStatusText(0, 0, "MIDI IN");
    postStatusText(kCrossThreadWindows, 0, "out of range");
    postStatusText(0, kPostedFields, "out of range");
    EXPECT_EQ(waitEvent(50).kind, EventKind::None);
    EXPECT_EQ(statusFieldLabel(0, 0)->text(), "MIDI IN");
    EXPECT_EQ(sliderValue(0, 99), 0);
    EXPECT_EQ(sliderValue(-1, 0), 0);
}

// The MIDI thread posts field 1's text after every message; only a text that
// differs from the one posted before wakes the GUI thread, and the field always
// shows the latest.
TEST_F(CrossThreadTest, OnlyAChangedTextWakesTheGuiThread) {
    open();
    createStatusBar(0);
    addStatusField(0, 100);
    addStatusField(0, 100);
    const struct {
        const char *text;
        int wakeUps;
    } posts[] = {{"On", 1}, {"On", 0}, {"On", 0}, {"Off", 1}, {"Off", 0}, {"On", 1}};
    for (const auto &post : posts) {
        const int before = postedTextWakeUps.load();
        postStatusText(0, 1, post.text);
        waitEvent(30);
        EXPECT_EQ(postedTextWakeUps.load() - before, post.wakeUps) << post.text;
        EXPECT_EQ(statusFieldLabel(0, 1)->text(), post.text);
    }
}

#ifdef ONDRILUX_RACY_TEST
// Built only with -DONDRILUX_RACY_TEST=ON: a race of ours read inside Qt's
// event dispatch, so Qt is on the stack. ThreadSanitizer must report it (the
// test then fails), whatever the suppressions say about Qt.
TEST(CrossThreadRace, RaceOnPurposeInsideQtsEventDispatch) {
    static int plain = 0;
    std::thread other([] {
        for (int i = 0; i < 100; ++i) {
            ++plain;
            std::this_thread::sleep_for(1ms);
        }
    });
    int seen = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { seen = plain; });
    timer.start(1);
    takeEvents(200);
    other.join();
    EXPECT_GT(seen, 0);
}
#endif
