#include "ui/range_bar.h"

#include "ui/synth_record.h"
#include "toolkit/toolkit.h"
#include "ui/control_ids.h"
#include "ui/event_loop.h"

namespace {

// The whole 20 x 250 outer size is filled; the surface clips it to 16 x 246.
constexpr int kFillWidth = 20, kFillHeight = 250;

// Within 4 rows of the edge: near enough to take hold of it.
bool withinGrab(int32_t edge, int32_t y) {
    return edge - 5 < y && y < edge + 5;
}

// Draws inside an open beginDrawing/endDrawing pair.
void drawRange(int32_t top, int32_t bottom) {
    if (top == bottom)
        return; // an empty window: the old picture stays
    tk::fillRectangle(0, 0, kFillWidth, kFillHeight, kTrackGrey);
    // Swapped edges give a negative height, which spans upward from the top.
    tk::fillRectangle(0, top, kFillWidth, bottom - top, top < bottom ? kRangeGreen : kSwappedRed);
}

} // namespace

void paintRangeBar() {
    if (!tk::beginDrawing(kMainWindow, kRangeBar))
        return;
    drawRange(synthState.rangeTop.get(), synthState.rangeBottom.get());
    tk::endDrawing();
}

void dragRangeBar(int32_t y) {
    if (!tk::beginDrawing(kMainWindow, kRangeBar))
        return;
    SynthState &s = synthState;
    LoopState &loop = loopState;
    // A held edge follows the pointer only within its limits; outside them it
    // stays where it was, still held, rather than snapping to the limit.

    if (loop.draggingBottom == 0) {
        if (withinGrab(s.rangeTop.get(), y))
            loop.draggingTop = 1;
        if (loop.draggingTop == 1 && kTopMin <= y && y <= kTopMax) {
            s.rangeTop.set(y);
            drawRange(y, s.rangeBottom.get());
        }
    }
    // The top edge wins a tie: a held top edge skips the bottom test.
    if (loop.draggingTop == 0) {
        if (withinGrab(s.rangeBottom.get(), y))
            loop.draggingBottom = 1;
        if (loop.draggingBottom == 1 && kBottomMin <= y && y <= kBottomMax) {
            s.rangeBottom.set(y);
            drawRange(s.rangeTop.get(), y);
        }
    }
    tk::endDrawing();
}
