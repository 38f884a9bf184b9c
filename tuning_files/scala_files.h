#pragma once

// Scala's files, read into a tuning: a scale (.scl) and a keyboard map (.kbm),
// as the Scala archive and every microtonal tool write them. Anything here may
// allocate: read files and texts on any thread but the audio thread, then
// hand the tuning over whole (midi/tuning_messages.h).
#include "engine/tuning.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The largest Scala file read: far above any real scale or keyboard map.
inline constexpr size_t kMaxTuningFileBytes = size_t{1} << 20;

// A scale: its description, then its degrees in cents above 1/1 (degree 0),
// the last being the period at which it repeats up and down. "!" lines are
// comments; the description is the first other line, then the count of
// degrees (0 is a scale of 1/1 alone), then a degree a line: cents when the
// value holds a period ("701.955"), else a ratio ("3/2", "2"); text after the
// value is ignored, and so are lines after the last degree.
struct ScalaScale {
    std::string description;
    std::vector<double> cents;
};

// A keyboard map: the map's size (the keys after which it repeats; 0 maps
// a degree a key), the first and last key to tune (read and checked, they
// limit nothing), the middle key (where the first entry and degree 0 sit), the
// reference key and the frequency it sounds at, the octave degree (by which
// the degrees move each time the map repeats; 0 for the map's size), then an
// entry a key: a degree, or "x" for a key that plays nothing. Entries left out
// at the end are unmapped.
struct KeyboardMap {
    int32_t size = 0;
    int32_t firstKey = 0, lastKey = 127;
    int32_t middleKey = 60;
    int32_t referenceKey = 60;
    double referenceHz = 261.6255653005986; // C4 in equal temperament
    int32_t octaveDegree = 0;
    std::vector<int32_t> degrees; // -1 for "x"
    // Where the reference key and the octave degree stand, for what the scale
    // finds wrong with them.
    int referenceLine = 0, octaveLine = 0;
};

// What is wrong with a file: its line (from 1; 0 for the file as a whole).
struct TextFault {
    int line = 0;
    std::string what;
};

bool readScalaScale(std::string_view text, ScalaScale &scale, TextFault &fault);
bool readKeyboardMap(std::string_view text, KeyboardMap &map, TextFault &fault);

// Each key's frequency under the scale as the map lays it out: degree 0 on the
// middle key, the reference key at its frequency, the map repeating every
// `size` keys and moving by the octave degree, an entry past the scale's size
// reaching into the periods above it (the map then moves by as many times the
// octave degree). A fault in the map, when its octave degree lies past the
// scale's size or its reference key is unmapped. The name is the scale's.
bool tuneKeys(const ScalaScale &scale, const KeyboardMap &map, Tuning &tuning, TextFault &fault);

// The tuning of a scale's and a map's texts (as a saved state keeps them;
// an empty text: equal temperament, or the default map), named after the
// scale's description or else the scale file's name (a path or name, used in
// the messages too). On failure one line: "FILE: line N: what is wrong".
bool tuningFromScalaTexts(std::string_view scaleText, const std::string &scaleFile,
                          std::string_view mapText, const std::string &mapFile, Tuning &tuning,
                          std::string &error);

// The whole text of the file at `path`, `kind` ("a scale file", "a keyboard
// map") naming it in the one line of `error`: a folder or a file of over 1 MiB
// is refused (binary data only by the readers).
bool readTuningFileText(const std::string &path, const char *kind, std::string &text,
                        std::string &error);

// The same from the files (either path "" for none): a file of over 1 MiB, a
// folder or a file of binary data is refused too.
bool readTuningFiles(const std::string &scalePath, const std::string &mapPath, Tuning &tuning,
                     std::string &error);
