#include "tests/midi/window_probe.h"

#include "engine/synth_state.h"
#include "midi/midi_input.h"
#include "toolkit/registry.h"
#include "toolkit/toolkit.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

namespace {
MessageBoxSeen seen;
} // namespace

bool openDeviceWindow() {
    // As the program starts: fresh state, no device open yet.
    initSynthState();
    synthState.midiDevice = 0;
    synthState.midiHandle = nullptr;
    if (tk::openWindow(kMainWindow, 400, 200, "MIDI test") != kMainWindow)
        return false;
    return tk::createDropDown(kMainWindow, kDeviceList, 10, 10, 300, 24, 200) == kDeviceList &&
           tk::createStatusBar(kMainWindow) && tk::addStatusField(kMainWindow, 120) &&
           tk::addStatusField(kMainWindow, 120);
}

void closeDeviceWindow() {
    tk::destroyWindow(kMainWindow);
}

std::vector<std::string> listItems(int window, int id) {
    std::vector<std::string> items;
    if (auto *box = qobject_cast<QComboBox *>(tk::controlWidget(window, id))) {
        for (int i = 0; i < box->count(); ++i)
            items.push_back(box->itemText(i).toStdString());
    }
    return items;
}

std::string statusText(int window, int field) {
    QLabel *label = tk::statusFieldLabel(window, field);
    return label ? label->text().toStdString() : "<none>";
}

void takeEvents(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        tk::waitEvent(1);
}

void dismissNextMessageBox(int ms) {
    // Polls from the event loop the box runs: the box is modal, so the test's
    // own code does not run again until it is gone.
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ms] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        poll->stop();
        QTimer::singleShot(ms, modal, [modal, poll] {
            ++seen.count;
            seen.title = modal->windowTitle().toStdString();
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                seen.text = box->text().toStdString();
            modal->close();
            poll->deleteLater();
        });
    });
    poll->start(5);
}

MessageBoxSeen lastMessageBox() {
    return seen;
}
