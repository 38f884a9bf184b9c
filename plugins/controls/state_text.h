#pragma once

#include "plugins/controls/control_ports.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A plugin's saved state as text, the same in every format, so a song saved
// with one format's plugin opens with another's: a version line, then a line
// "symbol value" for each control; then, for each Scala file the tuning is
// made of, a line "scale_text N PATH" or "keyboard_map_text N PATH" (the
// file's size in bytes, and the path it was chosen at, maybe empty), the
// file's N bytes as they are, and a line's end. Without those lines the
// synth plays its own tuning, as every state saved before tunings does. E.g.
//   ondrilux-state 1
//   operation 7
//   static_value 50
//   ...
//   channel 1
//   scale_text 61 /home/me/19-edo.scl
//   ! 19-edo.scl
//   19 equal divisions of the octave
//    19
//   ...
//    2/1
//
// The files' texts are kept rather than their paths, so that a song opens
// with its tuning on a machine that has not the files.

// The Scala files a plugin's tuning is made of, as its state keeps them: the
// path each was chosen at ("" when unknown) and its whole text. A file whose
// text and path are both empty is no file: without files the tuning is the
// synth's own.
struct TuningFileTexts {
    std::string scalePath, scaleText;
    std::string mapPath, mapText;
    bool hasScale() const { return !scalePath.empty() || !scaleText.empty(); }
    bool hasMap() const { return !mapPath.empty() || !mapText.empty(); }
};

// The largest state accepted: room for the controls and two Scala files of
// the largest size the readers take (1 MiB).
inline constexpr size_t kMaxStateBytes = size_t{3} << 20;

// The state of the controls' values, by port index (values from
// controlPortValue), and of the tuning's files.
std::string pluginStateText(const int32_t (&values)[kPortCount], const TuningFileTexts &files);

// The controls' values and the tuning's files in `text`, a state as
// pluginStateText writes it: every control once, in its range, each line
// whole, each file at most once and whole. False for anything else (another
// version, a line cut short, an unknown or repeated symbol, a value out of
// range, a file cut short), and then `values` and `files` may be half written.
bool parsePluginState(std::string_view text, int32_t (&values)[kPortCount], TuningFileTexts &files);
