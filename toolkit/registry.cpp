#include "toolkit/registry.h"

#include <QApplication>
#include <QLabel>

#include <algorithm>

namespace tk {

std::map<int, std::unique_ptr<WindowRecord>> windows;
std::map<int, MenuRecord> menus;
bool changingState = false;

namespace {
// Identifiers the toolkit picks start high, away from the small fixed numbers
// a program chooses for itself.
constexpr int kFirstAutoId = 1000;
} // namespace

WindowRecord *findWindow(int window) {
    auto it = windows.find(window);
    return it == windows.end() ? nullptr : it->second.get();
}

Control *findControl(int window, int id) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return nullptr;
    auto it = w->controls.find(id);
    return it == w->controls.end() ? nullptr : &it->second;
}

int addControl(WindowRecord &w, int id, ControlKind kind, QWidget *widget, int x, int y, int width,
               int height) {
    if (id == kAutoId) {
        id = kFirstAutoId;
        while (w.controls.count(id))
            ++id;
    }
    if (id < 0 || w.controls.count(id)) {
        delete widget;
        return -1;
    }
    if (kind != ControlKind::OptionButton)
        w.openOptionGroup = nullptr;
    widget->setGeometry(x, y, std::max(0, width), std::max(0, height));
    widget->show();
    w.controls[id] = Control{kind, widget};
    return id;
}

QString fromNativeText(const char *text) {
    QString s = QString::fromUtf8(text ? text : "");
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

QWidget *windowWidget(int window) {
    WindowRecord *w = findWindow(window);
    return w ? w->widget.get() : nullptr;
}

QWidget *controlWidget(int window, int id) {
    Control *c = findControl(window, id);
    return c ? c->widget : nullptr;
}

QLabel *statusFieldLabel(int window, int field) {
    WindowRecord *w = findWindow(window);
    if (!w || field < 0 || field >= static_cast<int>(w->statusFields.size()))
        return nullptr;
    return w->statusFields[static_cast<size_t>(field)];
}

} // namespace tk
