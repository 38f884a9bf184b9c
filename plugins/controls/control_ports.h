#pragma once

#include "engine/control_ranges.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// The plugins' ports, by index, as the LV2 bundle's description (written from
// this table), the LV2, CLAP and VST3 plugins (a CLAP or VST3 parameter's id
// is its port's index), the plugin UI and the browser's module all see them. The symbols are
// what hosts save songs with: never rename one.

enum PluginPort : uint32_t {
    kMidiInPort,
    kOutPort,
    kOperationPort,
    kStaticValuePort,
    kAttackPort,
    kDecayPort,
    kSustainPort,
    kReleasePort,
    kRangeTopPort,
    kRangeBottomPort,
    kQuickStartPort,
    kLatencyPort,
    kBendRangePort,
    kGlidePort,
    kGlideLegatoPort,
    kVelocityPort,
    kChannelPort,
    kLevelPort,  // output: the sound's level now, for the plugin's live picture
    kNotifyPort, // output (LV2): the tuning's files and name, as patch messages
    kPortCount
};

// The quick-start toggle as a range of its own: off 0, on 1, on by default.
inline constexpr ControlRange kQuickStartControl{0, 1, 1};
// Gliding only between held notes: off by default (a glide between every two).
inline constexpr ControlRange kGlideLegatoControl{0, 1, 0};

// An input control: its port, symbol, name shown by hosts, and the range
// and default it takes its values from.
struct ControlPort {
    PluginPort index;
    const char *symbol;
    const char *name;
    const ControlRange &range;
};

inline constexpr ControlPort kControlPorts[] = {
    {kOperationPort, "operation", "Bit operation", kOperationControl},
    {kStaticValuePort, "static_value", "Static value", kStaticValueControl},
    {kAttackPort, "attack", "Attack", kAttackControl},
    {kDecayPort, "decay", "Decay (ms)", kDecayControl},
    {kSustainPort, "sustain", "Sustain (%)", kSustainControl},
    {kReleasePort, "release", "Release (ms)", kReleaseControl},
    {kRangeTopPort, "range_top", "Range top", kRangeTopControl},
    {kRangeBottomPort, "range_bottom", "Range bottom", kRangeBottomControl},
    {kQuickStartPort, "quick_start", "Quick start", kQuickStartControl},
    {kBendRangePort, "bend_range", "Bend range (semitones)", kBendRangeControl},
    {kGlidePort, "glide", "Glide (ms)", kGlideControl},
    {kGlideLegatoPort, "glide_legato", "Glide legato only", kGlideLegatoControl},
    {kVelocityPort, "velocity", "Velocity (%)", kVelocityControl},
    {kChannelPort, "channel", "MIDI channel", kChannelControl},
};

// Whether the control is an on/off switch.
constexpr bool isToggle(PluginPort index) {
    return index == kQuickStartPort || index == kGlideLegatoPort;
}

// The control port with this index; nullptr for any other port.
constexpr const ControlPort *controlPort(uint32_t index) {
    for (const ControlPort &c : kControlPorts)
        if (c.index == index)
            return &c;
    return nullptr;
}

// A control's value as the engine takes it: rounded, clamped to its range,
// and its default for NaN.
inline int32_t controlPortValue(const ControlPort &c, float value) {
    if (std::isnan(value))
        return c.range.initial;
    const float v =
        std::clamp(value, static_cast<float>(c.range.min), static_cast<float>(c.range.max));
    return static_cast<int32_t>(std::lrint(v));
}
