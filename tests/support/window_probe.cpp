#include "tests/support/window_probe.h"

#include "ui/synth_record.h"
#include "midi/midi_input.h"
#include "midi/note_handling.h"
#include "toolkit/registry.h"
#include "toolkit/toolkit.h"

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

MessageBoxSeen seen;
std::atomic<int> gateTexts{0};

// The MIDI thread.
void countGateText(const char *text) {
    gateTexts.fetch_add(1);
    tk::postStatusText(kMainWindow, kGateStatusField, text);
}

} // namespace

bool openDeviceWindow() {
    // As the program starts: fresh state, no device open yet.
    initSynthState(synthState);
    synthState.midiDevice = 0;
    synthState.midiHandle = nullptr;
    if (tk::openWindow(kMainWindow, 400, 200, "MIDI test") != kMainWindow)
        return false;
    resetGateTextsHeard();
    synthState.gateTextSink.set(countGateText);
    return tk::createDropDown(kMainWindow, kDeviceList, 10, 10, 300, 24, 200) == kDeviceList &&
           tk::createStatusBar(kMainWindow) && tk::addStatusField(kMainWindow, 120) &&
           tk::addStatusField(kMainWindow, 120);
}

void closeDeviceWindow() {
    synthState.gateTextSink.set(nullptr);
    tk::destroyWindow(kMainWindow);
}

int gateTextsHeard() {
    return gateTexts.load();
}

void resetGateTextsHeard() {
    gateTexts.store(0);
}

bool waitUntilHeard(const std::function<void()> &sendActiveSensing) {
    const int before = gateTexts.load();
    const bool heard = waitUntil(
        [&] {
            if (gateTexts.load() != before)
                return true;
            sendActiveSensing();
            return false;
        },
        2000);
    // Let the probes still under way arrive before the test counts anew.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return heard;
}

std::vector<std::string> listItems(int window, int id) {
    std::vector<std::string> items;
    if (auto *box = qobject_cast<QComboBox *>(tk::controlWidget(window, id))) {
        for (int i = 0; i < box->count(); ++i)
            items.push_back(box->itemText(i).toStdString());
    }
    return items;
}

int deviceEntry(const std::string &name) {
    const std::vector<std::string> items = listItems(kMainWindow, kDeviceList);
    const auto found = std::find(items.begin(), items.end(), name);
    return found == items.end() ? -1 : static_cast<int>(found - items.begin());
}

bool listOpenAndHear(const std::string &port, const std::function<void()> &sendActiveSensing) {
    listMidiInputs();
    synthState.midiDevice = deviceEntry(port);
    openMidiInput(synthState);
    return synthState.midiHandle && waitUntilHeard(sendActiveSensing);
}

std::string statusText(int window, int field) {
    QLabel *label = tk::statusFieldLabel(window, field);
    return label ? label->text().toStdString() : "<none>";
}

void dismissNextMessageBox(int ms) {
    onNextModal([ms](QWidget *modal) {
        QTimer::singleShot(ms, modal, [modal] {
            ++seen.count;
            seen.title = modal->windowTitle().toStdString();
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                seen.text = box->text().toStdString();
            modal->close();
        });
    });
}

MessageBoxSeen lastMessageBox() {
    return seen;
}
