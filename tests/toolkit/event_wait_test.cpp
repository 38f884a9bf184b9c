#include "test_window.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <ctime>

using namespace tk;

using WaitTest = ToolkitWindowTest;

namespace {
double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
} // namespace

TEST_F(WaitTest, TimedWaitSleepsAndReturnsNoneAfterItsTimeOut) {
    open();
    drainEvents();
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = threadCpuSeconds();
    const Event e = waitEvent(300);
    EXPECT_EQ(e.kind, EventKind::None);
    EXPECT_GE(clock.elapsed(), 295);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_LT(threadCpuSeconds() - cpuBefore, 0.03); // asleep, not polling
}

TEST_F(WaitTest, WaitsReturnAsSoonAsTheUserActs) {
    open();
    createOptionButton(0, 11, 10, 10, 60, 20, "OR");
    const QPoint button = at(11, {8, 10});
    for (int timeoutMs : {-1, 5000}) {
        QTimer::singleShot(50, [&] { QTest::mouseClick(window, Qt::LeftButton, {}, button); });
        QElapsedTimer clock;
        clock.start();
        const Event e = waitEvent(timeoutMs);
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_EQ(e.kind, EventKind::Control);
        EXPECT_EQ(e.id, 11);
    }
}

TEST(MessageBox, ShowsOneOkButtonWithoutIconAndReturnsWhenDismissed) {
    QString title, text;
    int buttons = -1;
    QMessageBox::Icon icon = QMessageBox::Critical;
    bool modal = false;
    onNextMessageBox([&](QMessageBox *box) {
        title = box->windowTitle();
        text = box->text();
        buttons = int(box->buttons().size());
        icon = box->icon();
        modal = box->windowModality() == Qt::ApplicationModal;
        box->buttons().first()->click();
    });
    messageBox("About", "Ondrilux v1.01\rSound Synthesizer using bit operations");
    EXPECT_EQ(title, "About");
    EXPECT_EQ(text, "Ondrilux v1.01\nSound Synthesizer using bit operations");
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_TRUE(modal);
}
