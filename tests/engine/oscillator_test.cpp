#include "engine/oscillator.h"
#include "engine/waveshaper.h"
#include "engine_fixture.h"

#include <cmath>

namespace {

using Oscillator = EngineTest;

TEST_F(Oscillator, SilentAndStillBeforeTheFirstNote) {
    EXPECT_EQ(oscillatorSample(synthState), 0.0f);
    EXPECT_EQ(synthState.phaseIndex, 0);
    EXPECT_EQ(synthState.periodSamples, 0);
}

TEST_F(Oscillator, NoteFrequenciesAndPeriods) {
    struct Case {
        int note;
        double frequency;
        int period;
    };
    const Case cases[] = {{0, 8.1758, 5871},   {21, 27.5, 1745}, {60, 261.6256, 183},
                          {69, 440.0, 109},    {81, 880.0, 55},  {120, 8372.0181, 6},
                          {127, 12543.8540, 4}};
    for (const Case &c : cases) {
        EXPECT_NEAR(noteToFrequency(c.note), c.frequency, 5e-5) << "note " << c.note;
        synthState.noteFrequency.set(noteToFrequency(c.note));
        synthState.noteOnCounter = 1001;
        oscillatorSample(synthState);
        EXPECT_EQ(synthState.periodSamples, c.period) << "note " << c.note;
    }
}

TEST_F(Oscillator, PreviousPitchPlaysUntilCounterPassesThousand) {
    synthState.noteFrequency.set(440.0);
    synthState.noteOnCounter = 1000;
    oscillatorSample(synthState);
    EXPECT_EQ(synthState.periodSamples, 480); // the default previous pitch, 100 Hz
    synthState.noteOnCounter = 1001;
    oscillatorSample(synthState);
    EXPECT_EQ(synthState.periodSamples, 109);
}

TEST_F(Oscillator, PhaseRunsThroughThePeriodFromZero) {
    synthState.noteFrequency.set(440.0);
    synthState.noteOnCounter = 1001;
    synthState.phaseIndex = -1;
    for (int i = 0; i < 2 * 109 + 5; ++i) {
        oscillatorSample(synthState);
        ASSERT_EQ(synthState.phaseIndex, i % 109);
    }
}

TEST_F(Oscillator, LegatoToAShorterPeriodWrapsTheIndexIntoIt) {
    synthState.noteFrequency.set(440.0);
    synthState.noteOnCounter = 1001;
    synthState.phaseIndex = 80;
    synthState.noteFrequency.set(880.0); // period 55, index already beyond it
    const float wrapped = oscillatorSample(synthState);
    EXPECT_EQ(synthState.phaseIndex, 81 - 55);
    // The same point of the sine as the index past the period stood for.
    EXPECT_EQ(wrapped, shapeSample(synthState, static_cast<float>(81.0 / 55.0 - 1.0)));
}

// Note 48, then note 84 legato while the index is past note 84's period of 46
// frames, held ten minutes at full sustain: the last seconds still play the
// waveform of the first second after the switch, frame for frame.
TEST_F(Oscillator, LongLegatoHoldKeepsItsWaveform) {
    setTestSliders([] { return EnvelopeSliders{1, 1000, 100, 1500}; });
    noteOn(48);
    render(2000);                       // past the fade-out: period 367 runs
    while (synthState.phaseIndex < 100) // well past the coming period of 46
        render(1);
    noteOn(84);
    constexpr long kPeriod = 46;
    constexpr unsigned long kSecond = 48000;
    std::vector<float> second = render(kSecond);
    const std::vector<float> reference(second.end() - kPeriod, second.end());
    const long referenceStart = kSecond - kPeriod; // frames after the switch
    long secondStart = 0;
    for (int s = 1; s < 600; ++s) {
        second = render(kSecond);
        secondStart += kSecond;
    }
    for (long i = 0; i < static_cast<long>(kSecond); ++i)
        ASSERT_EQ(second[i], reference[(secondStart + i - referenceStart) % kPeriod])
            << "frame " << i << " of the last second";
}

TEST_F(Oscillator, NoPreviousPitchGivesSilenceWithoutMovingThePhase) {
    noteOff(60); // a note-off before any note-on leaves the previous pitch at 0
    EXPECT_EQ(synthState.heldFrequency.get(), 0.0);
    synthState.noteFrequency.set(440.0);
    synthState.noteOnCounter = 0;
    synthState.phaseIndex = 7;
    EXPECT_EQ(oscillatorSample(synthState), 0.0f);
    EXPECT_EQ(synthState.phaseIndex, 7);
}

// Expressive, but neither bent nor gliding: the whole-frame period plays every
// note, sample for sample as without (a fresh note, a legato one, a release).
TEST_F(Oscillator, ExpressiveWithoutBendOrGlidePlaysThePeriods) {
    std::vector<float> takes[2];
    for (const int expressive : {0, 1}) {
        initSynthState(synthState);
        synthState.expressive.set(expressive);
        noteOn(60);
        takes[expressive] = render(6000);
        noteOn(72);
        noteOff(60);
        for (float v : render(6000))
            takes[expressive].push_back(v);
    }
    EXPECT_EQ(takes[1], takes[0]);
}

} // namespace

namespace {

// The oscillator's caches (period per frequency, sine per phase index) must
// keep giving the specified samples whatever notes filled them before: the
// worked sample (A4, index 27, level 0.5: byte 33) and phase 0 (byte 0), with
// XOR 50, which keeps every difference of the byte: 33 gives 19, 0 gives 50.
TEST_F(Oscillator, CachesGiveTheSpecifiedSamplesWhateverPlayedBefore) {
    const float worked = static_cast<float>(19 / 127.0), zero = static_cast<float>(50 / 127.0);
    synthState.envelope.level = 0.5;
    synthState.operation.set(3);
    synthState.noteOnCounter = 1001;
    for (int note : {0, 21, 60, 69, 61, 127, 0}) {
        SCOPED_TRACE("after note " + std::to_string(note));
        synthState.noteFrequency.set(noteToFrequency(note));
        // Every frame as the waveshaper gives it for the phase afresh.
        for (int i = 0; i < 6000; ++i) {
            const float cached = oscillatorSample(synthState);
            ASSERT_EQ(cached,
                      shapeSample(synthState,
                                  static_cast<float>(static_cast<double>(synthState.phaseIndex) /
                                                     synthState.periodSamples)))
                << "frame " << i;
        }
        synthState.noteFrequency.set(440.0);
        synthState.phaseIndex = 26;
        EXPECT_EQ(oscillatorSample(synthState), worked);
        synthState.phaseIndex = 108; // the period's last index: the next is 0
        EXPECT_EQ(oscillatorSample(synthState), zero);
    }
    // An index far past the period (a legato jump from a long one) wraps into it.
    synthState.phaseIndex = 26 + 183 * 109;
    EXPECT_EQ(oscillatorSample(synthState), worked);
    // A period longer than the cache (4 Hz, below every note: 12000 frames)
    // takes the sines past its end afresh and leaves the rest as it was.
    synthState.noteFrequency.set(4.0);
    synthState.phaseIndex = -1;
    for (int i = 0; i < 12000; ++i)
        oscillatorSample(synthState);
    EXPECT_EQ(synthState.phaseIndex, 11999);
    synthState.noteFrequency.set(440.0);
    synthState.phaseIndex = 26;
    EXPECT_EQ(oscillatorSample(synthState), worked);
}

} // namespace
