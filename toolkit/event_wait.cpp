// The event queue and waitEvent. Qt's handlers append the events of user
// actions; waitEvent runs Qt's loop, which sleeps in the kernel until
// something arrives, so an idle program takes no CPU.

#include "toolkit/registry.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <utility>

namespace tk {

namespace {
std::deque<Event> queue;
QEventLoop *waiting = nullptr; // the loop of the waitEvent in progress
} // namespace

void postEvent(const Event &event) {
    queue.push_back(event);
    if (waiting)
        waiting->quit();
}

void dropEventsOf(int window) {
    std::erase_if(queue, [window](const Event &e) { return e.window == window; });
}

Event waitEvent(int timeoutMs) {
    if (!QCoreApplication::instance())
        return {};
    if (queue.empty()) {
        if (timeoutMs == 0) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        } else {
            QEventLoop loop;
            QTimer limit;
            if (timeoutMs > 0) {
                limit.setSingleShot(true);
                limit.setTimerType(Qt::PreciseTimer);
                QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
                limit.start(timeoutMs);
            }
            QEventLoop *outer = std::exchange(waiting, &loop);
            loop.exec();
            waiting = outer;
        }
    }
    if (queue.empty())
        return {};
    Event e = queue.front();
    queue.pop_front();
    return e;
}

void callAfter(int ms, void (*handler)()) {
    if (ensureApplication())
        QTimer::singleShot(ms, Qt::PreciseTimer, qApp, handler);
}

} // namespace tk
