#include "plugins/host_rate/host_tuning.h"

#include "plugins/host_rate/host_rate_engine.h"

#include "engine/synth_state.h"
#include "tuning_files/scala_files.h"

#include <cstdio>
#include <cstring>

void TuningHandover::give(const Tuning &t) {
    slots_[giving_] = t;
    // The slot between becomes the giver's: its tuning, if the taker never
    // took it, is overwritten next time.
    giving_ = between_.exchange(giving_ | kFresh, std::memory_order_acq_rel) & ~kFresh;
}

const Tuning *TuningHandover::take() {
    if (!(between_.load(std::memory_order_relaxed) & kFresh))
        return nullptr;
    taken_ = between_.exchange(taken_, std::memory_order_acq_rel) & ~kFresh;
    return &slots_[taken_];
}

bool tuningOfFiles(const TuningFileTexts &files, Tuning &tuning, std::string &error) {
    if (!files.hasScale() && !files.hasMap()) {
        tuning = Tuning{};
        return true;
    }
    // The readers take a file by its name: a text kept without one gets its kind's.
    const auto named = [](bool has, const std::string &path, const char *kind) {
        return !has ? std::string() : path.empty() ? std::string(kind) : path;
    };
    return tuningFromScalaTexts(files.scaleText, named(files.hasScale(), files.scalePath, "scale"),
                                files.mapText, named(files.hasMap(), files.mapPath, "keyboard map"),
                                tuning, error);
}

bool readTuningFile(TuningFileTexts &files, bool keyboardMap, const std::string &path,
                    std::string &error) {
    std::string &text = keyboardMap ? files.mapText : files.scaleText;
    (keyboardMap ? files.mapPath : files.scalePath) = path;
    text.clear();
    return path.empty() ||
           readTuningFileText(path, keyboardMap ? "a keyboard map" : "a scale file", text, error);
}

bool readChosenTuningFiles(TuningFileTexts &files, const char *scalePath, const char *mapPath) {
    std::string error;
    if ((scalePath && !readTuningFile(files, false, scalePath, error)) ||
        (mapPath && !readTuningFile(files, true, mapPath, error))) {
        std::fprintf(stderr, "ondrilux: %s: the tuning stays as it was\n", error.c_str());
        return false;
    }
    return true;
}

bool handHostTuningFiles(HostRateEngine &h, TuningFileTexts &kept, const TuningFileTexts &files) {
    Tuning tuning;
    std::string error;
    if (!tuningOfFiles(files, tuning, error)) {
        std::fprintf(stderr, "ondrilux: %s: the tuning stays as it was\n", error.c_str());
        return false;
    }
    handHostTuning(h, tuning);
    kept = files;
    return true;
}

void shownTuningName(const SynthState &s, char (&name)[kTuningNameBytes]) {
    tuningName(s, name);
    if (s.tuned.get() == 0)
        std::strcpy(name, "12-TET");
    else if (name[0] == '\0')
        std::strcpy(name, "MIDI Tuning");
}
