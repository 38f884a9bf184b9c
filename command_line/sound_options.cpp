#include "command_line/sound_options.h"

#include "engine/operation_names.h"

#include <algorithm>
#include <charconv>

namespace {

struct SoundOption {
    const char *name;
    const char *valueName;
    const char *meaning;
    const ControlRange &range;
    int32_t SoundOptions::*field;
    int32_t EnvelopeSliders::*slider;
};

const SoundOption kSoundOptions[] = {
    {"operation", "N", "bit operation", kOperationControl, &SoundOptions::operation, nullptr},
    {"static", "V", "static value", kStaticValueControl, &SoundOptions::staticValue, nullptr},
    {"top", "Y", "top edge of the range", kRangeTopControl, &SoundOptions::rangeTop, nullptr},
    {"bottom", "Y", "bottom edge of the range", kRangeBottomControl, &SoundOptions::rangeBottom,
     nullptr},
    {"attack", "A", "attack slider", kAttackControl, nullptr, &EnvelopeSliders::attack},
    {"decay", "D", "decay slider in ms", kDecayControl, nullptr, &EnvelopeSliders::decay},
    {"sustain", "S", "sustain slider in percent", kSustainControl, nullptr,
     &EnvelopeSliders::sustain},
    {"release", "R", "release slider in ms", kReleaseControl, nullptr, &EnvelopeSliders::release},
};

// The player's expression, beside the window's controls.
const SoundOption kExpressionOptions[] = {
    {"bend-range", "N", "pitch bend range in semitones", kBendRangeControl,
     &SoundOptions::bendRange, nullptr},
    {"glide", "MS", "glide time in ms, 0 off", kGlideControl, &SoundOptions::glide, nullptr},
    {"velocity", "P", "velocity sensitivity in percent", kVelocityControl, &SoundOptions::velocity,
     nullptr},
    {"channel", "C", "MIDI channel, 0 every channel", kChannelControl, &SoundOptions::channel,
     nullptr},
};

std::string optionLine(const SoundOption &o) {
    std::string flag = std::string("  --") + o.name + " " + o.valueName;
    flag.resize(std::max<size_t>(flag.size() + 1, 18), ' ');
    return flag + o.meaning + ", " + std::to_string(o.range.min) + " to " +
           std::to_string(o.range.max) + " (default " + std::to_string(o.range.initial) + ")";
}

bool parseInteger(std::string_view text, int32_t &value) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc{} && ptr == end && !text.empty();
}

} // namespace

SoundOptionResult setSoundOption(std::string_view name, const std::string &value,
                                 SoundOptions &options, std::string &error) {
    if (name == kGlideLegatoFlag) {
        options.glideLegato = true;
        return SoundOptionResult::set;
    }
    const SoundOption *found = nullptr;
    for (const SoundOption &o : kSoundOptions)
        if (name == o.name)
            found = &o;
    for (const SoundOption &o : kExpressionOptions)
        if (name == o.name)
            found = &o;
    if (const SoundOption *option = found) {
        const SoundOption &o = *option;
        const std::string flag = std::string("--") + o.name;
        const std::string quoted = "'" + value + "'";
        int32_t v;
        if (!parseInteger(value, v)) {
            error = flag + ": " + quoted + " is not a whole number";
            return SoundOptionResult::error;
        }
        if (!inRange(o.range, v)) {
            error = flag + ": " + quoted + " is out of range (" + std::to_string(o.range.min) +
                    " to " + std::to_string(o.range.max) + ")";
            return SoundOptionResult::error;
        }
        if (o.field)
            options.*o.field = v;
        else
            options.sliders.*o.slider = v;
        return SoundOptionResult::set;
    }
    return SoundOptionResult::notSoundOption;
}

std::string soundOptionsUsage() {
    std::string usage;
    for (const SoundOption &o : kSoundOptions) {
        usage += optionLine(o);
        if (o.field != &SoundOptions::operation) {
            usage += "\n";
            continue;
        }
        // Each operation by number and short name, the numbers right-aligned:
        // "                     1 OR with the static value".
        usage += ":\n";
        for (int32_t op = 1; op <= kOperationCount; ++op) {
            std::string number = std::to_string(op);
            number.insert(0, 21 - number.size(), ' ');
            usage += number + " " + operationName(op).shortName + "\n";
        }
    }
    return usage;
}

std::string tuningOptionsUsage() {
    return "  --scale FILE.scl\n"
           "                  play in the Scala scale FILE.scl: each key at its pitch,\n"
           "                  within a hundredth of a cent (default: equal temperament,\n"
           "                  each note at its whole-frame period as in the synth)\n"
           "  --keyboard-map FILE.kbm\n"
           "                  map the keys onto the scale by the Scala keyboard map\n"
           "                  FILE.kbm (default: degree 0 on key 60, at 261.6255653 Hz,\n"
           "                  a degree a key; with no --scale, in equal temperament)\n";
}

std::string expressionOptionsUsage() {
    std::string usage;
    for (const SoundOption &o : kExpressionOptions) {
        usage += optionLine(o) + "\n";
        if (o.field == &SoundOptions::glide)
            usage += "  --glide-legato  glide only from a note still held (default: from every\n"
                     "                  note to the next)\n";
    }
    return usage;
}
