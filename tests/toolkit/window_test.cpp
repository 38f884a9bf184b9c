#include "test_window.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>

using namespace tk;

using WindowTest = ToolkitWindowTest;

TEST_F(WindowTest, OpensFixedCentredWindowsUnderTheirIdentifiers) {
    open(300, 200);
    EXPECT_EQ(openWindow(0, 10, 10, "Twice"), -1);
    EXPECT_TRUE(widget->isVisible());
    EXPECT_EQ(widget->windowTitle(), "Test");
    EXPECT_EQ(widget->minimumSize(), QSize(300, 200));
    EXPECT_EQ(widget->maximumSize(), QSize(300, 200));
    const Qt::WindowFlags flags = widget->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(widget->frameGeometry().center(), screen.center());

    // Too big for the screen: shrunk to it. An identifier of the toolkit's own.
    const int big = openWindow(kAutoId, 5000, 5000, "Big", true);
    ASSERT_GE(big, 1);
    QPointer<QWidget> bigWidget = windowWidget(big);
    EXPECT_EQ(bigWidget->frameGeometry(), screen);
    EXPECT_TRUE(bigWidget->isModal());
    const int label = createLabel(big, kAutoId, 0, 0, 10, 10, "x");
    ASSERT_GE(label, 0);
    QPointer<QWidget> labelWidget = controlWidget(big, label);
    destroyWindow(big);
    EXPECT_TRUE(bigWidget.isNull());
    EXPECT_TRUE(labelWidget.isNull());
    EXPECT_EQ(controlWidget(big, label), nullptr);
}

TEST_F(WindowTest, MenuBarPushesControlsDownAndStatusBarCoversTheBottom) {
    open(400, 300);
    ASSERT_EQ(createLabel(0, 7, 10, 20, 50, 20, "A"), 7);
    ASSERT_TRUE(createMenuBar(0));
    const int menu = addMenu(0, "?");
    ASSERT_GE(menu, 0);
    ASSERT_TRUE(addMenuItem(menu, 1, "About"));
    ASSERT_TRUE(addMenuItem(menu, 2, "Help"));

    const int barHeight = widget->findChild<QMenuBar *>()->height();
    EXPECT_GT(barHeight, 10);
    EXPECT_EQ(at(7, {0, 0}), QPoint(10, 20 + barHeight));
    EXPECT_EQ(widget->size(), QSize(400, 300));

    QList<QAction *> items = widget->findChild<QMenuBar *>()->actions().first()->menu()->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[1]->text(), "Help");
    items[1]->trigger();
    const auto events = drainEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::Menu);
    EXPECT_EQ(events[0].window, 0);
    EXPECT_EQ(events[0].id, 2);

    EXPECT_FALSE(statusBarExists(0));
    ASSERT_TRUE(createStatusBar(0));
    EXPECT_TRUE(statusBarExists(0));
    for (int width : {100, 100, 30})
        ASSERT_TRUE(addStatusField(0, width));
    const int lefts[] = {0, 100, 200}, widths[] = {100, 100, 30};
    for (int field = 0; field < 3; ++field) {
        QLabel *label = statusFieldLabel(0, field);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->mapTo(widget, QPoint(0, 0)).x(), lefts[field]);
        EXPECT_EQ(label->width(), widths[field]);
    }
    QWidget *bar = statusFieldLabel(0, 0)->parentWidget();
    EXPECT_EQ(bar->geometry().bottom(), 299);
    EXPECT_GE(bar->height(), 18);
    EXPECT_TRUE(setStatusText(0, 1, "On"));
    EXPECT_EQ(statusFieldLabel(0, 1)->text(), "On");
    EXPECT_EQ(statusFieldLabel(0, 1)->alignment(), Qt::AlignCenter);
    EXPECT_FALSE(setStatusText(0, 3, "none"));
}

TEST_F(WindowTest, CloseBoxAndEscapeOnlyReportEvents) {
    open();
    ASSERT_TRUE(addShortcut(0, Key::Escape, 111));
    EXPECT_FALSE(widget->close());
    EXPECT_TRUE(widget->isVisible());
    auto events = drainEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::Close);
    EXPECT_EQ(events[0].window, 0);

    widget->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(widget));
    QTest::keyClick(window, Qt::Key_Escape);
    events = drainEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::Menu);
    EXPECT_EQ(events[0].id, 111);
}
