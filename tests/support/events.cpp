#include "tests/support/events.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <chrono>

std::vector<tk::Event> drainEvents(const std::function<void(const tk::Event &)> &each) {
    std::vector<tk::Event> events;
    for (tk::Event e = tk::waitEvent(0); e.kind != tk::EventKind::None; e = tk::waitEvent(0)) {
        if (each)
            each(e);
        events.push_back(e);
    }
    return events;
}

bool waitUntil(const std::function<bool()> &done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        tk::waitEvent(2);
    }
    return true;
}

void takeEvents(int ms) {
    waitUntil([] { return false; }, ms);
}

void onNextModal(std::function<void(QWidget *)> act) {
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act = std::move(act)] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll->stop();
        act(modal);
        poll->deleteLater();
    });
    poll->start(5);
}

void onNextMessageBox(std::function<void(QMessageBox *)> act) {
    onNextModal([act = std::move(act)](QWidget *w) {
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            act(box);
            return;
        }
        ADD_FAILURE() << "the modal window is no message box";
        w->close();
    });
}
