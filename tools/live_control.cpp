#include "tools/live_control.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "tools/engine_driving.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint8_t kControlChangeChannel1 = 0xB0;
constexpr uint8_t kProgramChangeChannel1 = 0xC0;

void setStaticValue(int32_t v) {
    synthState.staticOperand.set(v);
}
void setRangeTop(int32_t v) {
    synthState.rangeTop.set(v);
}
void setRangeBottom(int32_t v) {
    synthState.rangeBottom.set(v);
}
void setAttack(int32_t v) {
    chosenSliders().attack = v;
}
void setDecay(int32_t v) {
    chosenSliders().decay = v;
}
void setSustain(int32_t v) {
    chosenSliders().sustain = v;
}
void setRelease(int32_t v) {
    chosenSliders().release = v;
}

struct Controller {
    uint8_t number;
    const char *name;
    const ControlRange &range;
    void (*apply)(int32_t value);
};

// The MIDI standard's sound controllers, each on the control it names.
constexpr Controller kControllers[] = {
    {71, "Timbre: static value", kStaticValueControl, setStaticValue},
    {74, "Brightness: range top", kRangeTopControl, setRangeTop},
    {70, "Sound Variation: range bottom", kRangeBottomControl, setRangeBottom},
    {73, "Attack Time: attack", kAttackControl, setAttack},
    {75, "Decay Time: decay", kDecayControl, setDecay},
    {79, "sustain", kSustainControl, setSustain},
    {72, "Release Time: release", kReleaseControl, setRelease},
};

} // namespace

int32_t controllerValue(const ControlRange &range, uint8_t v) {
    // 127 is odd, so no exact tie arises; lrint rounds ties to even anyway.
    return static_cast<int32_t>(
        std::lrint(range.min + v * static_cast<double>(range.max - range.min) / 127.0));
}

void playLiveMessage(uint32_t shortMsg) {
    onMidiInput(kMidiInData, shortMsg);
    const uint8_t status = shortMsg & 0xFF;
    const uint8_t data1 = (shortMsg >> 8) & 0x7F;
    const uint8_t data2 = (shortMsg >> 16) & 0x7F;
    if (status == kProgramChangeChannel1) {
        if (data1 < kProgramCount)
            synthState.operation.set(data1 + 1);
        return;
    }
    if (status != kControlChangeChannel1)
        return;
    for (const Controller &c : kControllers)
        if (c.number == data1)
            c.apply(controllerValue(c.range, data2));
}

std::string liveControlUsage() {
    const auto line = [](std::string what, const std::string &sets) {
        what.resize(std::max<size_t>(what.size() + 1, 38), ' ');
        return what + sets + "\n";
    };
    std::string usage = line("  Program Change 0 to 12", "operation 1 to 13");
    for (const Controller &c : kControllers)
        usage += line("  CC " + std::to_string(c.number) + " " + c.name,
                      std::to_string(c.range.min) + " to " + std::to_string(c.range.max));
    return usage;
}
