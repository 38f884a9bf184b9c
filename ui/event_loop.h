#pragma once

#include <cstdint>

namespace tk {
struct Event;
}

// State of the main event loop; GUI thread only. At most one edge is held.
struct LoopState {
    int32_t draggingTop;    // 1 while the range's top edge follows the pointer
    int32_t draggingBottom; // 1 while the bottom edge does
    int32_t quitRequested;  // set by the close box or Escape; ends the loop
};

extern LoopState loopState;

// Takes the main window's events until the close box or Escape asks to quit.
void runEventLoop();

// One iteration's handling of an event that has arrived: the range-bar step,
// then the dispatch to the state, the device switch, About and Help.
void handleLoopEvent(const tk::Event &event);
