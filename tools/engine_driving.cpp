#include "tools/engine_driving.h"

#include "engine/synth_state.h"
#include "midi/note_handling.h"

namespace {

// The envelope asks for its sliders through a plain function pointer.
EnvelopeSliders sliders = kDefaultEnvelopeSliders;
EnvelopeSliders readSliders() {
    return sliders;
}

} // namespace

EnvelopeSliders &chosenSliders() {
    return sliders;
}

void prepareEngine(const SoundOptions &options) {
    initSynthState();
    synthState.operation.set(options.operation);
    synthState.staticOperand.set(options.staticValue);
    synthState.rangeTop.set(options.rangeTop);
    synthState.rangeBottom.set(options.rangeBottom);
    sliders = options.sliders;
    setEnvelopeSliderSource(readSliders);
    setGateTextSink(nullptr);
}
