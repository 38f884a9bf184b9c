#include "plugins/controls/port_controls.h"

#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"

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
    case kChannelPort: listenToChannel(s, v); break;
    default: break;
    }
}
