#include "ui/main_window.h"

#include "engine/control_ranges.h"
#include "engine/envelope.h"
#include "engine/operation_names.h"
#include "ui/synth_record.h"
#include "midi/note_handling.h"
#include "toolkit/toolkit.h"
#include "ui/control_ids.h"
#include "ui/range_bar.h"

#include <iterator>

namespace {

constexpr int kClientWidth = 535;
constexpr int kClientHeight = 410;

// Where each operation's option button sits; its caption is the operation's
// own (engine/operation_names.h).
struct OperationButton {
    int x, y, width;
};

// Buttons 11 to 23 in identifier order; each selects operationOfButton(id).
constexpr OperationButton kOperationButtons[] = {
    {120, 80, 60},  {200, 80, 60},  {280, 80, 60},  {90, 140, 200}, {90, 160, 300},
    {90, 180, 300}, {90, 200, 420}, {90, 220, 300}, {90, 240, 300}, {90, 260, 350},
    {90, 280, 300}, {90, 300, 350}, {90, 320, 400},
};
static_assert(std::size(kOperationButtons) == kLastOperationButton - kFirstOperationButton + 1);
static_assert(std::size(kOperationButtons) == kOperationCount);

// Audio thread, when the envelope arms: the sliders' last values, without
// waiting for the GUI thread (which may itself be waiting for the stream).
EnvelopeSliders readEnvelopeSliders(const void *) {
    return EnvelopeSliders{
        tk::sliderValue(kMainWindow, kAttackSlider), tk::sliderValue(kMainWindow, kDecaySlider),
        tk::sliderValue(kMainWindow, kSustainSlider), tk::sliderValue(kMainWindow, kReleaseSlider)};
}

// MIDI thread (possibly JACK's real-time thread): hands the note state to the
// GUI thread without waiting or allocating.
void showGateText(const char *text) {
    tk::postStatusText(kMainWindow, kGateStatusField, text);
}

void createMenu() {
    if (!tk::createMenuBar(kMainWindow))
        return;
    const int menu = tk::addMenu(kMainWindow, "?");
    if (menu == -1)
        return;
    tk::addMenuItem(menu, kAboutCommand, "About");
    tk::addMenuItem(menu, kHelpCommand, "Help");
}

void createDeviceList() {
    tk::createDropDown(kMainWindow, kDeviceList, 180, 10, 140, 20, 350);
    // Selecting the first entry here is no user change: nothing is switched.
    if (listMidiInputs() != 0) {
        tk::setState(kMainWindow, kDeviceList, 0);
        synthState.midiDevice = 0;
    } else {
        synthState.midiDevice = -1;
    }
}

void createStatusBar() {
    if (!tk::createStatusBar(kMainWindow))
        return;
    tk::addStatusField(kMainWindow, 100); // MIDI input state
    tk::addStatusField(kMainWindow, 100); // note state
    tk::addStatusField(kMainWindow, 30);
    synthState.gateTextSink.set(showGateText);
}

} // namespace

bool createMainWindow() {
    constexpr int w = kMainWindow;
    if (tk::openWindow(w, kClientWidth, kClientHeight, "Ondrilux") == -1)
        return false;
    createMenu();

    tk::createCanvas(w, kRangeBar, 40, 80, 20, 250);
    paintRangeBar();

    createDeviceList();

    // The creation order below is also the focus order, and nothing may come
    // between the option buttons: consecutive buttons make one exclusive group.
    tk::createFrame(w, kStaticValueFrame, 80, 40, 290, 70, "Bit Operations with a Static Value");
    for (int id = kFirstOperationButton; id <= kLastOperationButton; ++id) {
        const OperationButton &b = kOperationButtons[id - kFirstOperationButton];
        tk::createOptionButton(w, id, b.x, b.y, b.width, 20,
                               operationName(operationOfButton(id)).caption);
    }
    tk::setState(w, kFirstOperationButton, 1);

    tk::createFrame(w, kOtherOperationsFrame, 80, 120, 440, 230, "Other Bit Operations");

    using tk::Orientation;
    const auto slider = [w](int control, int x, int y, int width, int height, const ControlRange &r,
                            Orientation orientation) {
        tk::createSlider(w, control, x, y, width, height, r.min, r.max, orientation);
    };
    slider(kAttackSlider, 420, 40, 20, 80, kAttackControl, Orientation::Vertical);
    slider(kDecaySlider, 440, 40, 20, 80, kDecayControl, Orientation::Vertical);
    slider(kSustainSlider, 460, 40, 20, 80, kSustainControl, Orientation::Vertical);
    tk::setState(w, kSustainSlider, kSustainControl.initial);
    slider(kStaticValueSlider, 100, 60, 250, 20, kStaticValueControl, Orientation::Horizontal);
    tk::setState(w, kStaticValueSlider, kStaticValueControl.initial);
    slider(kReleaseSlider, 480, 40, 20, 80, kReleaseControl, Orientation::Vertical);
    tk::setState(w, kAttackSlider, kAttackControl.initial);
    tk::setState(w, kDecaySlider, kDecayControl.initial);
    tk::setState(w, kReleaseSlider, kReleaseControl.initial);
    synthState.sliderSource = {readEnvelopeSliders, nullptr};

    tk::createLabel(w, kLabelA, 425, 27, 10, 20, "A");
    tk::createLabel(w, kLabelD, 445, 27, 10, 20, "D");
    tk::createLabel(w, kLabelS, 465, 27, 10, 20, "S");
    tk::createLabel(w, kLabelR, 485, 27, 10, 20, "R");

    createStatusBar();
    tk::addShortcut(w, tk::Key::Escape, kQuitCommand);
    return true;
}
