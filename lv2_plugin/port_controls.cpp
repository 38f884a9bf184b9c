#include "lv2_plugin/port_controls.h"

#include "engine_driving/engine_driving.h"

#include <algorithm>
#include <cmath>

const ControlPort *controlPort(uint32_t index) {
    for (const ControlPort &c : kControlPorts)
        if (c.index == index)
            return &c;
    return nullptr;
}

int32_t controlPortValue(const ControlPort &c, float value) {
    if (std::isnan(value))
        return c.range.initial;
    const float v =
        std::clamp(value, static_cast<float>(c.range.min), static_cast<float>(c.range.max));
    return static_cast<int32_t>(std::lrint(v));
}

void setPortControl(DrivenEngine &engine, const ControlPort &c, int32_t v) {
    SynthState &s = engine.state;
    EnvelopeSliders &sliders = engine.sliders;
    switch (c.index) {
    case kOperationPort: s.operation.set(v); break;
    case kStaticValuePort: s.staticOperand.set(v); break;
    case kAttackPort: sliders.attack = v; break;
    case kDecayPort: sliders.decay = v; break;
    case kSustainPort: sliders.sustain = v; break;
    case kReleasePort: sliders.release = v; break;
    case kRangeTopPort: s.rangeTop.set(v); break;
    case kRangeBottomPort: s.rangeBottom.set(v); break;
    case kQuickStartPort: s.quickStart.set(v); break;
    case kBendRangePort: s.bendRangeCents.set(v * 100); break;
    case kGlidePort: s.glideMilliseconds.set(v); break;
    case kGlideLegatoPort: s.glideLegato.set(v); break;
    case kVelocityPort: s.velocityPercent.set(v); break;
    case kChannelPort: s.channel.set(v); break;
    default: break;
    }
}
