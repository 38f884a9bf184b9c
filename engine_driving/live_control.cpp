#include "engine_driving/live_control.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "engine_driving/engine_driving.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;

void setStaticValue(DrivenEngine &e, int32_t v) {
    e.state.staticOperand.set(v);
}
void setRangeTop(DrivenEngine &e, int32_t v) {
    e.state.rangeTop.set(v);
}
void setRangeBottom(DrivenEngine &e, int32_t v) {
    e.state.rangeBottom.set(v);
}
void setAttack(DrivenEngine &e, int32_t v) {
    e.sliders.attack = v;
}
void setDecay(DrivenEngine &e, int32_t v) {
    e.sliders.decay = v;
}
void setSustain(DrivenEngine &e, int32_t v) {
    e.sliders.sustain = v;
}
void setRelease(DrivenEngine &e, int32_t v) {
    e.sliders.release = v;
}

struct Controller {
    uint8_t number;
    const char *name;
    const ControlRange &range;
    void (*apply)(DrivenEngine &engine, int32_t value);
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

void playLiveMessage(DrivenEngine &engine, uint32_t shortMsg) {
    onMidiInput(engine.state, kMidiInData, shortMsg);
    const uint8_t status = shortMsg & 0xFF;
    const uint8_t data1 = (shortMsg >> 8) & 0x7F;
    const uint8_t data2 = (shortMsg >> 16) & 0x7F;
    if (!hears(engine.state, status))
        return;
    if ((status & 0xF0) == kProgramChange) {
        if (data1 < kProgramCount)
            engine.state.operation.set(operationOfProgram(data1));
        return;
    }
    if ((status & 0xF0) != kControlChange)
        return;
    for (const Controller &c : kControllers)
        if (c.number == data1)
            c.apply(engine, controllerValue(c.range, data2));
}

bool answersController(uint8_t number) {
    return handlesController(number) ||
           std::ranges::any_of(kControllers,
                               [number](const Controller &c) { return c.number == number; });
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
    usage += line("  Pitch Bend", "the pitch, by the bend range either way");
    usage += line("  RPN 0 (CC 101 0, CC 100 0), then", "the bend range:");
    usage += line("    CC 6 / CC 38 Data Entry", "semitones 0 to 24 / cents 0 to 99");
    usage +=
        line("  CC 5 Portamento Time", "glide 0 to " + std::to_string(kGlideControl.max) + " ms");
    usage += line("  CC 65 Portamento On/Off", "glide on (64 to 127) or off");
    usage += line("  CC 64 Sustain Pedal", "down (64 to 127): holds released notes");
    usage += line("  CC 120 / 123 All Sound / Notes Off", "every key up, the pedal lifted");
    usage += line("  CC 121 Reset All Controllers", "bend centred, pedal lifted, no RPN");
    return usage;
}
