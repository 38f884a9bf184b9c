#pragma once

#include "toolkit/registry.h"

#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <vector>

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
        drain();
    }
    // A point in window coordinates, given in a control's own coordinates.
    QPoint at(int id, QPoint local) const { return tk::controlWidget(0, id)->mapTo(widget, local); }
    // Every event already queued or arising from what Qt still has to deliver.
    static std::vector<tk::Event> drain() {
        std::vector<tk::Event> events;
        for (tk::Event e = tk::waitEvent(0); e.kind != tk::EventKind::None; e = tk::waitEvent(0))
            events.push_back(e);
        return events;
    }

    QWidget *widget = nullptr;
    QWindow *window = nullptr;
};
