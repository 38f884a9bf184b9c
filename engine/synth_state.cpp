#include "engine/synth_state.h"

#include "engine/control_ranges.h"

void initSynthState(SynthState &s) {
    // Zero-fill, field by field: the Relaxed fields are atomics and may not be memset.
    s.staticOperand.set(0.0);
    s.releaseLevel = 0.0;
    s.noteFrequency.set(0.0);
    s.heldFrequency.set(0.0);
    s.envelope = EnvelopeState{};
    s.phaseIndex = 0;
    s.envelopeArmed.set(0);
    s.gateText.set("");
    s.shapedSample = 0.0f;
    s.periodSamples = 0;
    s.operation.set(0);
    s.rangeTop.set(0);
    s.rangeBottom.set(0);
    s.gate.set(0);
    s.frameClock = 0;
    s.noteOnCounter = 0;
    s.attackStarted.set(0);
    s.releaseFrame = 0;
    s.stream = nullptr;
    s.midiDevice = 0;
    s.midiHandle = nullptr;
    s.heldNoteCount.set(0);
    s.noteStateTaken.set(0);
    for (uint32_t i = 0; i < kPendingMessageCount; ++i) {
        s.pendingMessages.sequence[i].store(i);
        s.pendingMessages.message[i] = 0;
    }
    s.pendingMessages.added.store(0);
    s.pendingMessages.taken.store(0);
    for (uint32_t i = 0; i < kKeptEndPlaces; ++i)
        s.pendingMessages.keptEnds[i].store(uint64_t{i} << 32);
    for (std::atomic<uint8_t> &dropped : s.pendingMessages.droppedNoteOns)
        dropped.store(0);
    s.gateFault.set(nullptr);
    s.quickStart.set(0);
    s.muteRequested.set(0);
    s.muteFramesLeft = 0;
    s.expressive.set(0);
    s.pitchBend.set(0);
    s.glideMilliseconds.set(0);
    s.glideLegato.set(0);
    s.velocityPercent.set(0);
    s.pedalDown.set(0);
    s.pedalHolds.set(0);
    s.noteOnSerial.set(0);
    s.glideFrames.set(0);
    s.smoothPitch = SmoothPitch{};
    s.noteTuning.set(0);
    resetKeyTuning(s);

    // Defaults.
    s.operation.set(kOperationControl.initial);
    s.rangeTop.set(kRangeTopControl.initial);
    s.rangeBottom.set(kRangeBottomControl.initial);
    s.staticOperand.set(kStaticValueControl.initial);
    s.releaseLevel = 0.0;
    s.heldFrequency.set(100.0);
    s.channel.set(1);
    s.bendRangeCents.set(kDefaultBendRangeCents);
    s.portamento.set(1);
    s.rpn.set(kNoRpn);
    s.noteGain.set(1.0);
    s.heldGain.set(1.0);
    s.velocityGain = 1.0;
}
