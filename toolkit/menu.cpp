// Menu bar, menus, menu items and keyboard shortcuts: each issues a Menu event
// with its command.

#include "toolkit/registry.h"

#include <QMenu>
#include <QMenuBar>
#include <QShortcut>

#include <algorithm>

namespace tk {

namespace {
int nextMenuHandle = 1;

void postMenuEvent(int window, int command) {
    Event e;
    e.kind = EventKind::Menu;
    e.window = window;
    e.id = command;
    postEvent(e);
}

// The menu bar takes its height from the top of the client area; the
// controls' area starts below it, so the bar pushes them down.
void placeMenuBar(WindowRecord &w) {
    QMenuBar *bar = w.menuBar;
    const int height = std::max(bar->sizeHint().height(), bar->fontMetrics().height() + 6);
    bar->setGeometry(0, 0, w.clientWidth, height);
    w.client->setGeometry(0, height, w.clientWidth, std::max(0, w.clientHeight - height));
}
} // namespace

bool createMenuBar(int window) {
    WindowRecord *w = findWindow(window);
    if (!w || w->menuBar)
        return false;
    w->menuBar = new QMenuBar(w->widget.get());
    w->menuBar->setNativeMenuBar(false);
    placeMenuBar(*w);
    w->menuBar->show();
    w->menuBar->raise();
    return true;
}

int addMenu(int window, const char *title) {
    WindowRecord *w = findWindow(window);
    if (!w || !w->menuBar)
        return -1;
    QMenu *menu = w->menuBar->addMenu(fromNativeText(title));
    placeMenuBar(*w);
    const int handle = nextMenuHandle++;
    menus[handle] = MenuRecord{window, menu};
    return handle;
}

bool addMenuItem(int menu, int command, const char *text) {
    auto it = menus.find(menu);
    if (it == menus.end() || !it->second.menu)
        return false;
    const int window = it->second.window;
    QAction *action = it->second.menu->addAction(fromNativeText(text));
    QObject::connect(action, &QAction::triggered,
                     [window, command] { postMenuEvent(window, command); });
    return true;
}

bool addShortcut(int window, Key key, int command) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return false;
    QKeySequence sequence;
    switch (key) {
    case Key::Escape:
        sequence = QKeySequence(Qt::Key_Escape);
        break;
    }
    auto *shortcut = new QShortcut(sequence, w->widget.get());
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated,
                     [window, command] { postMenuEvent(window, command); });
    return true;
}

} // namespace tk
