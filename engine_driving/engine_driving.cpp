#include "engine_driving/engine_driving.h"

void prepareEngine(DrivenEngine &engine, const SoundOptions &options) {
    SynthState &s = engine.state;
    initSynthState(s);
    s.operation.set(options.operation);
    s.staticOperand.set(options.staticValue);
    s.rangeTop.set(options.rangeTop);
    s.rangeBottom.set(options.rangeBottom);
    s.quickStart.set(options.quickStart ? 1 : 0);
    engine.sliders = options.sliders;
    s.sliderSource = slidersFrom(engine.sliders);
    s.gateTextSink.set(nullptr);
}
