// openWindow and destroyWindow: fixed-size top-level windows whose close box
// only reports a Close event.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QApplication>
#include <QCloseEvent>
#include <QScreen>

#include <algorithm>

namespace tk {

namespace {
// Identifiers the toolkit picks start high, away from the small fixed numbers
// a program chooses for itself.
constexpr int kFirstAutoWindowId = 1000;

class ToolkitWindow : public QWidget {
  public:
    explicit ToolkitWindow(int window) : id(window) {}

  protected:
    // The program decides whether a window closes: it gets a Close event and
    // the window stays.
    void closeEvent(QCloseEvent *event) override {
        event->ignore();
        Event e;
        e.kind = EventKind::Close;
        e.window = id;
        postEvent(e);
    }

  private:
    int id;
};

// Centres the outer window on the primary screen, shrinking it to the screen
// when it would not fit. The frame's size is known only once the window is
// shown, so this runs again then.
void placeOnScreen(WindowRecord &w) {
    QWidget *widget = w.widget.get();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize frame = widget->frameGeometry().size() - widget->geometry().size();
    const QSize client(std::min(w.clientWidth, std::max(1, area.width() - frame.width())),
                       std::min(w.clientHeight, std::max(1, area.height() - frame.height())));
    widget->setFixedSize(client);
    const QSize outer = client + frame;
    widget->move(area.x() + (area.width() - outer.width()) / 2,
                 area.y() + (area.height() - outer.height()) / 2);
}
} // namespace

int openWindow(int id, int clientWidth, int clientHeight, const char *title, bool modal) {
    if (!ensureApplication() || clientWidth <= 0 || clientHeight <= 0)
        return -1;
    if (id == kAutoId) {
        id = kFirstAutoWindowId;
        while (windows.count(id))
            ++id;
    }
    if (id < 0 || windows.count(id))
        return -1;

    auto record = std::make_unique<WindowRecord>();
    WindowRecord &w = *record;
    w.id = id;
    w.clientWidth = clientWidth;
    w.clientHeight = clientHeight;
    w.widget = std::make_unique<ToolkitWindow>(id);
    QWidget *widget = w.widget.get();
    widget->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint);
    widget->setWindowTitle(fromNativeText(title));
    if (modal)
        widget->setWindowModality(Qt::ApplicationModal);
    w.client = new QWidget(widget);
    w.client->setGeometry(0, 0, clientWidth, clientHeight);
    placeOnScreen(w);
    windows[id] = std::move(record);

    widget->show();
    placeOnScreen(w);
    return id;
}

void destroyWindow(int window) {
    auto it = windows.find(window);
    if (it == windows.end())
        return;
    std::unique_ptr<WindowRecord> record = std::move(it->second);
    windows.erase(it);
    for (auto m = menus.begin(); m != menus.end();)
        m = m->second.window == window ? menus.erase(m) : std::next(m);
    dropEventsOf(window);
    clearCrossThreadSlots(window);
    record.reset();
    // Qt's own helpers may have scheduled deletions; a program that only
    // waits for events through waitEvent would otherwise never run them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace tk
