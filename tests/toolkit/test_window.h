#pragma once

#include "tests/support/events.h"
#include "toolkit/registry.h"

#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

// Opens window 0 (the one whose sliders and status fields other threads may
// reach) for each test and destroys it afterwards.
class ToolkitWindowTest : public ::testing::Test {
  protected:
    void open(int width = 300, int height = 420) {
        ASSERT_EQ(tk::openWindow(0, width, height, "Test"), 0);
        widget = tk::windowWidget(0);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
        window = widget->windowHandle();
    }
    void TearDown() override {
        tk::destroyWindow(0);
        drainEvents();
    }
    // A point in window coordinates, given in a control's own coordinates.
    QPoint at(int id, QPoint local) const { return tk::controlWidget(0, id)->mapTo(widget, local); }

    QWidget *widget = nullptr;
    QWindow *window = nullptr;
};
