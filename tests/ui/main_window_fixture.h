#pragma once

// A freshly created main window for every test, and ways to find its Qt
// widgets by what the user sees: kind, place and text.
#include "ui/synth_record.h"
#include "tests/support/events.h"
#include "toolkit/toolkit.h"
#include "ui/control_ids.h"
#include "ui/event_loop.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QImage>
#include <QRadioButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

inline QWidget *topLevelTitled(const QString &title) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == title)
            return w;
    return nullptr;
}

// Hands every queued toolkit event to the main loop's handling.
inline void handlePendingEvents() {
    drainEvents(handleLoopEvent);
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tk::destroyWindow(kMainWindow);
        drainEvents();
        initSynthState(synthState);
        loopState = LoopState{};
        ASSERT_TRUE(createMainWindow());
        window = topLevelTitled("Ondrilux");
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        QRadioButton *orButton = nullptr;
        for (QRadioButton *b : window->findChildren<QRadioButton *>())
            if (b->text() == "OR")
                orButton = b;
        ASSERT_NE(orButton, nullptr) << "no \"OR\" button";
        origin = orButton->mapTo(window, QPoint(0, 0)) - QPoint(120, 80);
    }

    // Place of a widget in the client area below the menu bar.
    QRect placeOf(const QWidget *w) const {
        return QRect(w->mapTo(window, QPoint(0, 0)) - origin, w->size());
    }

    template <typename T> T *find(const QRect &place) const {
        for (T *w : window->findChildren<T *>())
            if (w->isVisible() &&
                QRect(w->mapTo(window, QPoint(0, 0)) - origin, w->size()) == place)
                return w;
        return nullptr;
    }

    QWidget *rangeBar() const { return find<QWidget>(QRect(40, 80, 20, 250)); }

    // Colour (0xRRGGBB) of each row of the range bar's surface, in its middle.
    std::vector<unsigned> rangeBarRows() const {
        const QImage image = rangeBar()->grab().toImage();
        std::vector<unsigned> rows;
        for (int row = 0; row < 246; ++row)
            rows.push_back(image.pixel(2 + 8, 2 + row) & 0xFFFFFF);
        return rows;
    }

    QWidget *window = nullptr;
    QPoint origin;
};
