#include "ui/help_window.h"

#include "toolkit/toolkit.h"

namespace {

struct HelpPiece {
    const char *text;
    bool endsWithBreak;
};

// Every piece opens with a line break; the last three run on line by line.
constexpr HelpPiece kHelpPieces[] = {
    {"All the bit operations are performed on a sinewave.", true},
    {"Choose an operation. Pull the top and bottom of green rectangle into suitable range for the "
     "sound to move smoothly as you play.",
     true},
    {"Can only be played with a virtual or real midi keyboard.", true},
    {"Use the ADSR sliders to shape the Attack, Decay, Sustain and Release of the note as you "
     "play the keyboard.",
     true},
    {"The way the application works is that each sample value of the sinewave is first "
     "converted to an integer that can be",
     false},
    {"represented on the bits of one byte. Then operations are performed on the individual bits "
     "like shift them, re-arrange",
     false},
    {"them, flip them, and so on. The 8 bit pattern is finally converted back to a sample value, "
     "and output as the new waveform.",
     true},
};

} // namespace

std::string helpText() {
    std::string text;
    for (const HelpPiece &piece : kHelpPieces) {
        text += '\n';
        text += piece.text;
        if (piece.endsWithBreak)
            text += '\n';
    }
    return text;
}

void showHelp() {
    // Modal, so the main window takes no input that this loop would swallow.
    const int window = tk::openWindow(tk::kAutoId, 620, 373, "Ondrilux Help", true);
    if (window == -1)
        return;
    const int textView = tk::createTextView(window, tk::kAutoId, 5, 5, 610, 360);
    tk::setText(window, textView, helpText().c_str());

    for (;;) {
        const tk::Event event = tk::waitEvent();
        if (event.kind == tk::EventKind::Close && event.window == window)
            break;
    }
    tk::destroyWindow(window);
}
