#include "ui/event_loop.h"

#include "ui/synth_record.h"
#include "midi/midi_input.h"
#include "toolkit/toolkit.h"
#include "ui/about_box.h"
#include "ui/control_ids.h"
#include "ui/help_window.h"
#include "ui/range_bar.h"

LoopState loopState;

namespace {

void rangeBarStep(const tk::Event &event) {
    const bool leftHeld = (event.buttons & tk::kLeftButton) != 0;
    if (event.type == tk::EventType::LeftPressed ||
        (event.type == tk::EventType::PointerMoved && leftHeld)) {
        dragRangeBar(event.y);
    } else {
        // The click after every press lands here too, so a hold is taken up
        // again only by a move that is still near the edge.
        loopState.draggingTop = 0;
        loopState.draggingBottom = 0;
    }
}

// Option buttons, sliders and the list act on any event type.
void controlEvent(int id) {
    SynthState &s = synthState;
    if (id == kDeviceList) {
        switchMidiInput(s);
    } else if (id == kStaticValueSlider) {
        s.staticOperand.set(static_cast<double>(tk::getState(kMainWindow, id)));
    } else if (id >= kFirstOperationButton && id <= kLastOperationButton) {
        if (tk::getState(kMainWindow, id) == 1)
            s.operation.set(operationOfButton(id));
    }
    // Sliders 3 to 6: the envelope reads them itself when it arms.
}

void menuEvent(int command) {
    switch (command) {
    case kAboutCommand:
        showAbout();
        break;
    case kHelpCommand:
        showHelp();
        break;
    case kQuitCommand:
        loopState.quitRequested = 1;
        break;
    default:
        break;
    }
}

} // namespace

void handleLoopEvent(const tk::Event &event) {
    if (event.window != kMainWindow)
        return;
    switch (event.kind) {
    case tk::EventKind::Control:
        if (event.id == kRangeBar)
            rangeBarStep(event);
        else
            controlEvent(event.id);
        break;
    case tk::EventKind::Menu:
        menuEvent(event.id);
        break;
    case tk::EventKind::Close:
        loopState.quitRequested = 1;
        break;
    case tk::EventKind::None:
        break;
    }
}

void runEventLoop() {
    do {
        handleLoopEvent(tk::waitEvent());
    } while (loopState.quitRequested != 1);
}
