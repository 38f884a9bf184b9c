#include "engine_driving/engine_driving.h"

void prepareEngine(DrivenEngine &engine, const SoundOptions &options) {
    SynthState &s = engine.state;
    initSynthState(s);
    s.operation.set(options.operation);
    s.staticOperand.set(options.staticValue);
    s.rangeTop.set(options.rangeTop);
    s.rangeBottom.set(options.rangeBottom);
    s.quickStart.set(options.quickStart ? 1 : 0);
    s.expressive.set(options.expressive ? 1 : 0);
    s.bendRangeCents.set(options.bendRange * 100);
    s.glideMilliseconds.set(options.glide);
    s.glideLegato.set(options.glideLegato ? 1 : 0);
    s.velocityPercent.set(options.velocity);
    s.channel.set(options.channel);
    engine.sliders = options.sliders;
    s.sliderSource = slidersFrom(engine.sliders);
    s.gateTextSink.set(nullptr);
    applyTuning(s, options.tuning); // no other thread runs yet
}
