// The standard controls: drop-down list, frame, option button, slider, label
// and text view, with their texts and states. Each reports only what the user
// does; the program's own changes pass under changingState.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>

#include <algorithm>

namespace tk {

namespace {
void postChanged(int window, int id) {
    Event e;
    e.kind = EventKind::Control;
    e.window = window;
    e.id = id;
    e.type = EventType::Changed;
    postEvent(e);
}

struct StateChange {
    bool saved = changingState;
    StateChange() { changingState = true; }
    ~StateChange() { changingState = saved; }
    StateChange(const StateChange &) = delete;
    StateChange &operator=(const StateChange &) = delete;
};
} // namespace

namespace {
// The open list shows every entry whole, wider than the closed box when it
// must; the closed box keeps its place and size in the window.
void fitOpenListToEntries(QComboBox &box) {
    QAbstractItemView *view = box.view();
    const int room = 2 * view->frameWidth() + box.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    view->setMinimumWidth(box.count() ? view->sizeHintForColumn(0) + room : 0);
}
} // namespace

int createDropDown(int window, int id, int x, int y, int width, int height, int openHeight) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *box = new QComboBox(w->client);
    box->setEditable(false);
    // openHeight is the closed box and its open list together.
    const int rowHeight = box->fontMetrics().height() + 4;
    box->setMaxVisibleItems(std::max(1, (openHeight - height) / rowHeight));
    id = addControl(*w, id, ControlKind::DropDown, box, x, y, width, height);
    if (id < 0)
        return -1;
    // activated comes from the user only, also when re-picking the same entry.
    QObject::connect(box, &QComboBox::activated, [window, id](int) { postChanged(window, id); });
    return id;
}

bool appendListItem(int window, int id, const char *text) {
    Control *c = findControl(window, id);
    if (!c || c->kind != ControlKind::DropDown)
        return false;
    auto *box = static_cast<QComboBox *>(c->widget);
    StateChange change;
    const int selected = box->currentIndex();
    box->addItem(fromNativeText(text));
    // Qt selects the first entry by itself; the list keeps "none" until told.
    if (selected < 0)
        box->setCurrentIndex(-1);
    fitOpenListToEntries(*box);
    return true;
}

bool clearList(int window, int id) {
    Control *c = findControl(window, id);
    if (!c || c->kind != ControlKind::DropDown)
        return false;
    StateChange change;
    auto *box = static_cast<QComboBox *>(c->widget);
    box->clear();
    fitOpenListToEntries(*box);
    return true;
}

int createFrame(int window, int id, int x, int y, int width, int height, const char *caption) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *frame = new QGroupBox(fromNativeText(caption), w->client);
    // Frames are drawn behind the controls that stand on them, even those
    // created earlier, and never take their clicks.
    frame->setAttribute(Qt::WA_TransparentForMouseEvents);
    frame->setFocusPolicy(Qt::NoFocus);
    id = addControl(*w, id, ControlKind::Frame, frame, x, y, width, height);
    if (id >= 0)
        frame->lower();
    return id;
}

namespace {

// The system's font can be wider than the one the layout was drawn with: a
// caption that does not fit its button gets a smaller font (never below 7 pt)
// rather than losing its end, and the whole text as a tooltip besides.
void fitCaption(QRadioButton *button, int width) {
    QFont font = button->font();
    if (font.pointSizeF() <= 0)
        return; // a pixel-sized font: leave it as the platform chose
    while (button->sizeHint().width() > width && font.pointSizeF() > 7.0) {
        font.setPointSizeF(font.pointSizeF() - 0.25);
        button->setFont(font);
    }
    if (button->font() != QApplication::font())
        button->setToolTip(button->text());
}

} // namespace

int createOptionButton(int window, int id, int x, int y, int width, int height, const char *text) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *button = new QRadioButton(fromNativeText(text), w->client);
    button->setAutoExclusive(false);
    fitCaption(button, width);
    id = addControl(*w, id, ControlKind::OptionButton, button, x, y, width, height);
    if (id < 0)
        return -1;
    if (!w->openOptionGroup) {
        w->openOptionGroup = new QButtonGroup(w->client);
        w->openOptionGroup->setExclusive(true);
    }
    w->openOptionGroup->addButton(button);
    QObject::connect(button, &QRadioButton::clicked, [window, id] { postChanged(window, id); });
    return id;
}

int createSlider(int window, int id, int x, int y, int width, int height, int minimum, int maximum,
                 Orientation orientation) {
    WindowRecord *w = findWindow(window);
    if (!w || minimum > maximum)
        return -1;
    // Qt's vertical slider already has its maximum at the top.
    auto *slider = new QSlider(orientation == Orientation::Vertical ? Qt::Vertical : Qt::Horizontal,
                               w->client);
    slider->setRange(minimum, maximum);
    slider->setSingleStep(1);
    slider->setPageStep(std::max(1, (maximum - minimum) / 5));
    id = addControl(*w, id, ControlKind::Slider, slider, x, y, width, height);
    if (id < 0)
        return -1;
    mirrorSliderValue(window, id, slider->value());
    // valueChanged covers drags, clicks on the groove and keys alike; the
    // program's own setState passes silently.
    QObject::connect(slider, &QSlider::valueChanged, [window, id](int value) {
        mirrorSliderValue(window, id, value);
        if (!changingState)
            postChanged(window, id);
    });
    return id;
}

int createLabel(int window, int id, int x, int y, int width, int height, const char *text) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *label = new QLabel(fromNativeText(text), w->client);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return addControl(*w, id, ControlKind::Label, label, x, y, width, height);
}

int createTextView(int window, int id, int x, int y, int width, int height) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *view = new QPlainTextEdit(w->client);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return addControl(*w, id, ControlKind::TextView, view, x, y, width, height);
}

bool setText(int window, int id, const char *text) {
    Control *c = findControl(window, id);
    if (!c)
        return false;
    const QString s = fromNativeText(text);
    switch (c->kind) {
    case ControlKind::Label:
        static_cast<QLabel *>(c->widget)->setText(s);
        return true;
    case ControlKind::TextView:
        static_cast<QPlainTextEdit *>(c->widget)->setPlainText(s);
        return true;
    case ControlKind::Frame:
        static_cast<QGroupBox *>(c->widget)->setTitle(s);
        return true;
    case ControlKind::OptionButton:
        static_cast<QRadioButton *>(c->widget)->setText(s);
        return true;
    case ControlKind::Canvas:
    case ControlKind::DropDown:
    case ControlKind::Slider:
        return false;
    }
    return false;
}

bool setState(int window, int id, int value) {
    Control *c = findControl(window, id);
    if (!c)
        return false;
    StateChange change;
    switch (c->kind) {
    case ControlKind::OptionButton: {
        auto *button = static_cast<QRadioButton *>(c->widget);
        // An exclusive group refuses to clear its selected button.
        QButtonGroup *group = button->group();
        if (group && value == 0)
            group->setExclusive(false);
        button->setChecked(value != 0);
        if (group)
            group->setExclusive(true);
        return true;
    }
    case ControlKind::Slider:
        static_cast<QSlider *>(c->widget)->setValue(value);
        return true;
    case ControlKind::DropDown: {
        auto *box = static_cast<QComboBox *>(c->widget);
        if (value < -1 || value >= box->count())
            return false;
        box->setCurrentIndex(value);
        return true;
    }
    case ControlKind::Canvas:
    case ControlKind::Frame:
    case ControlKind::Label:
    case ControlKind::TextView:
        return false;
    }
    return false;
}

int getState(int window, int id) {
    Control *c = findControl(window, id);
    if (!c)
        return -1;
    switch (c->kind) {
    case ControlKind::OptionButton:
        return static_cast<QRadioButton *>(c->widget)->isChecked() ? 1 : 0;
    case ControlKind::Slider:
        return static_cast<QSlider *>(c->widget)->value();
    case ControlKind::DropDown:
        return static_cast<QComboBox *>(c->widget)->currentIndex();
    case ControlKind::Canvas:
    case ControlKind::Frame:
    case ControlKind::Label:
    case ControlKind::TextView:
        return -1;
    }
    return -1;
}

} // namespace tk
