#pragma once

#include "engine/control_ranges.h"

#include <cstdint>

// Colours of the range bar (0xBBGGRR).
inline constexpr unsigned kTrackGrey = 0xEDEDED;
inline constexpr unsigned kRangeGreen = 0x009900;
inline constexpr unsigned kSwappedRed = 0x0000FF;

// Row limits of the two edges on the 246-row drawing surface.
inline constexpr int32_t kTopMin = kRangeTopControl.min, kTopMax = kRangeTopControl.max;
inline constexpr int32_t kBottomMin = kRangeBottomControl.min, kBottomMax = kRangeBottomControl.max;

// Draws the track and the range rectangle for synthState's edges; equal edges
// draw nothing. GUI thread.
void paintRangeBar();

// One drag step for the pointer row y of a left press or of a move with the
// left button down: takes an edge within 4 rows (the top one first) and moves
// the held edge to y while y is within its limits. GUI thread.
void dragRangeBar(int32_t y);
