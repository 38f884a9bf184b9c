// The status bar: a strip over the bottom of the client area holding fields
// of given widths from the left; the rest of the strip belongs to no field.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QLabel>

#include <algorithm>

namespace tk {

namespace {
constexpr int kMinimumHeight = 18;
}

bool createStatusBar(int window) {
    WindowRecord *w = findWindow(window);
    if (!w || w->statusBar)
        return false;
    auto *bar = new QWidget(w->widget.get());
    const int height = std::max(kMinimumHeight, bar->fontMetrics().height() + 6);
    bar->setGeometry(0, w->clientHeight - height, w->clientWidth, height);
    bar->setAutoFillBackground(true);
    bar->show();
    bar->raise();
    w->statusBar = bar;
    mirrorStatusBarPresence(window, true);
    return true;
}

bool addStatusField(int window, int width) {
    WindowRecord *w = findWindow(window);
    if (!w || !w->statusBar || width < 0)
        return false;
    int x = 0;
    for (QLabel *field : w->statusFields)
        x += field->width();
    auto *field = new QLabel(w->statusBar);
    field->setTextFormat(Qt::PlainText);
    field->setAlignment(Qt::AlignCenter);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setGeometry(x, 1, width, w->statusBar->height() - 1);
    field->show();
    w->statusFields.push_back(field);
    return true;
}

// Any thread for windows 0 to kCrossThreadWindows - 1; others GUI thread only.
bool statusBarExists(int window) {
    if (window >= 0 && window < kCrossThreadWindows)
        return mirroredStatusBarPresence(window);
    WindowRecord *w = findWindow(window);
    return w && w->statusBar;
}

bool setStatusText(int window, int field, const char *text) {
    QLabel *label = statusFieldLabel(window, field);
    if (!label)
        return false;
    label->setText(fromNativeText(text));
    return true;
}

} // namespace tk
