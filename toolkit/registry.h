#pragma once

// The toolkit's own bookkeeping: which Qt widget stands behind each window and
// control identifier, and the queue of events waiting for waitEvent. GUI
// thread only; the tables for the two cross-thread calls live in
// cross_thread.h. Only toolkit/ and its tests include this header.

#include "toolkit/toolkit.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <map>
#include <memory>
#include <vector>

class QButtonGroup;
class QMenu;
class QMenuBar;
class QLabel;

namespace tk {

enum class ControlKind { Canvas, DropDown, Frame, OptionButton, Slider, Label, TextView };

struct Control {
    ControlKind kind;
    QWidget *widget; // owned by the window's client widget
};

struct WindowRecord {
    int id = -1;
    std::unique_ptr<QWidget> widget; // the top-level window
    QWidget *client = nullptr;       // holds the controls; starts below the menu bar
    QMenuBar *menuBar = nullptr;
    QWidget *statusBar = nullptr;
    std::vector<QLabel *> statusFields; // left to right
    std::map<int, Control> controls;
    // Option buttons created one after another share this group; any other
    // control created in between closes it.
    QButtonGroup *openOptionGroup = nullptr;
    int clientWidth = 0, clientHeight = 0;
};

struct MenuRecord {
    int window;
    QPointer<QMenu> menu;
};

extern std::map<int, std::unique_ptr<WindowRecord>> windows;
extern std::map<int, MenuRecord> menus;

// True while the toolkit itself changes a control, so that the change is not
// reported as a user's.
extern bool changingState;

// Makes sure a QApplication exists (a message box may come before init).
bool ensureApplication();

WindowRecord *findWindow(int window);
Control *findControl(int window, int id);
// Registers a new control under `id` (or a fresh identifier for kAutoId) and
// places it; returns its identifier, or -1 when `id` is taken. Closes the
// window's open option group unless the control is an option button.
int addControl(WindowRecord &w, int id, ControlKind kind, QWidget *widget, int x, int y, int width,
               int height);
// Texts may mark line breaks with a lone carriage return.
QString fromNativeText(const char *text);

// Appends an event to the queue and ends a waitEvent that is waiting.
void postEvent(const Event &event);
// Drops the queued events of a window that is going away.
void dropEventsOf(int window);

// For tests: the widgets behind identifiers, or nullptr.
QWidget *windowWidget(int window);
QWidget *controlWidget(int window, int id);
QLabel *statusFieldLabel(int window, int field);

} // namespace tk
