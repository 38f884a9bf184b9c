#pragma once

#include "engine/envelope.h"
#include "engine/oscillator.h"
#include "engine/relaxed.h"
#include "engine/smooth_pitch.h"
#include "engine/tuning.h"

#include <cstdint>

// Frames per second of the stream; also turns seconds into envelope frames
// and frequencies into oscillator periods.
inline constexpr double kSampleRate = 48000.0;

// Opaque handles of the audio stream and the open MIDI input.
using AudioStreamHandle = void; // PortAudio's PaStream
struct MidiInput;

// ADSR times and levels. Written only by the envelope, on the audio thread.
struct EnvelopeState {
    double attackSeconds;
    double decaySeconds;
    double sustainLevel; // 0.0 to 1.0
    double releaseSeconds;
    double attackLength; // frames, fraction kept
    double decayLength;
    double sustainTarget; // the level the decay falls to and the sustain holds
    double releaseLength;
    double level;         // the envelope's output for the current frame
    double lastOpenLevel; // level of the last frame rendered with the gate open
    bool lastFrameOpen;   // whether the last frame rendered had the gate open (set at arming)
};

// Messages for the note handling that arrived on one thread while another
// was changing the note state (midi/note_handling.cpp): a bounded queue that
// any thread adds to without waiting, emptied by the thread changing it.
inline constexpr uint32_t kPendingMessageCount = 64;
// Places in the queue's order where ends kept past a full queue wait: those
// waited on run from the next message to take to 64 past it, so twice the
// queue's length never holds two at once.
inline constexpr uint32_t kKeptEndPlaces = 2 * kPendingMessageCount;
struct PendingMessages {
    // Slot i holds a message once its sequence number says so: written by
    // the adding thread before it publishes the sequence.
    std::atomic<uint32_t> sequence[kPendingMessageCount];
    uint32_t message[kPendingMessageCount];
    std::atomic<uint32_t> added, taken; // counts of slots claimed and emptied
    // What ends a note among the messages that found the queue full, kept at
    // its place: word i serves place i, then i + 128, ... (a place is the
    // count of messages added before it), in its high half, and holds the
    // ends kept there in its low half. Adding threads keep ends; the thread
    // changing the note state applies them, and moves the word on, as it
    // reaches their place.
    std::atomic<uint64_t> keptEnds[kKeptEndPlaces];
    // Per key, the note-ons that found the queue full and were dropped: as
    // many note-offs of that key arriving later are dropped too. Any adding
    // thread, as messages arrive.
    std::atomic<uint8_t> droppedNoteOns[128];
};

// Receives the note state's text ("On", "Off" or ""; always a static string)
// for status field 1. Called on the MIDI thread, which may be JACK's real-time
// thread: it must not wait or allocate.
using GateTextSink = void (*)(const char *text);

// The record through which the GUI, MIDI and audio threads of one engine
// cooperate; each program (and each plugin instance) owns its own, and every
// engine function works on the record it is given. Fields that more than one
// thread touches are Relaxed; the rest belong to one thread (named on each
// line) and stay plain.
struct SynthState {
    Relaxed<double> staticOperand;  // GUI writes, audio reads
    double releaseLevel;            // audio: level the next fade-out starts from (the envelope)
    Relaxed<double> noteFrequency;  // MIDI writes, audio reads; Hz, 0.0 before the first note
    Relaxed<double> heldFrequency;  // MIDI writes, audio reads; the previous note's pitch
    EnvelopeState envelope;         // audio
    int32_t phaseIndex;             // audio: frame index inside the oscillator period
    Relaxed<int32_t> envelopeArmed; // audio sets 1 (0 after a mute); MIDI clears on the last key up
    Relaxed<const char *> gateText; // MIDI: "On", "Off" or "" (static texts)
    float shapedSample;             // audio: last waveshaper output
    int32_t periodSamples;          // audio: oscillator period in frames
    Relaxed<int32_t> operation;     // GUI writes, audio reads; bit operation 1 to 13
    Relaxed<int32_t> rangeTop;      // GUI writes, audio reads; range-bar row
    Relaxed<int32_t> rangeBottom;   // GUI writes, audio reads; range-bar row
    Relaxed<int32_t> gate; // MIDI writes (GUI once before the stream starts); 1 while a key is held
    int32_t frameClock;    // audio: frames since the current attack began
    int32_t noteOnCounter; // audio: frames since the envelope armed (stops past 1000)
    Relaxed<int32_t> attackStarted; // audio sets 1 (0 after a mute); MIDI clears on the last key up
    int32_t releaseFrame;           // audio: frame clock at the last open-gate frame
    AudioStreamHandle *stream;      // GUI: the open output stream
    int32_t midiDevice;             // GUI: position of the open device in the list, -1 for none
    MidiInput *midiHandle;          // GUI: the open MIDI input
    Relaxed<int32_t> heldNoteCount; // MIDI (one thread at a time: noteStateTaken); never below 0
    // Held (1) by the one thread that changes the note state (the gate, the
    // held-note count, the pitches) at a time: the MIDI threads and the GUI
    // thread closing a device. Any other leaves its message in pendingMessages.
    Relaxed<int32_t> noteStateTaken;
    PendingMessages pendingMessages;

    // Where this engine's envelope reads its sliders when it arms (audio
    // thread) and where its note handling shows the note state (MIDI thread).
    // Set before those threads run; defaults: the sliders' initial values, no text.
    EnvelopeSliderSource sliderSource;
    Relaxed<GateTextSink> gateTextSink;
    // GUI writes, MIDI reads: a fault the sink shows in place of the note
    // state (a stream that never ran); nullptr for none.
    Relaxed<const char *> gateFault;
    OscillatorCache oscillatorCache; // audio
    // The program's thread writes, audio reads at arming; 0 in the synth. When 1,
    // a note armed while nothing sounds (releaseLevel exactly 0.0) skips the
    // silent fade-out and starts its attack on the arming frame.
    Relaxed<int32_t> quickStart;
    // All Sound Off: the MIDI thread sets 1, the audio thread takes it back to
    // 0 as it starts the output's fall to silence, which has muteFramesLeft to go.
    Relaxed<int32_t> muteRequested;
    int32_t muteFramesLeft; // audio

    // How a player's expression reaches the sound, in the programs beside the
    // synth; in the synth `expressive` stays 0, `channel` 1 and the rest at
    // their start-up values, so none of it plays a part there.
    Relaxed<int32_t> expressive;     // the program's thread, before rendering: 1 plays bend, glide,
                                     // pedal and velocity
    Relaxed<int32_t> channel;        // the program's thread (listenToChannel): 0 every
                                     // channel, else 1 to 16
    Relaxed<int32_t> pitchBend;      // MIDI: -8192 to 8191, 0 centred
    Relaxed<int32_t> bendRangeCents; // MIDI (RPN 0) and the program: 0 to 2400
    Relaxed<int32_t> glideMilliseconds; // MIDI (CC 5) and the program: 0 off
    Relaxed<int32_t> glideLegato;       // the program: 1 glides only between held notes
    Relaxed<int32_t> portamento;        // MIDI (CC 65): 0 turns the glide off
    Relaxed<int32_t> velocityPercent;   // the program: how much velocity counts, 0 to 100
    Relaxed<int32_t> rpn;               // MIDI: the selected registered parameter, kNoRpn for none
    Relaxed<int32_t> pedalDown;         // MIDI (the GUI thread while it closes a device)
    Relaxed<int32_t> pedalHolds;    // MIDI: 1 while the pedal keeps the gate open with no key held
    Relaxed<uint32_t> noteOnSerial; // MIDI: counts note-ons; the audio thread sees each one
    Relaxed<int32_t> glideFrames;   // MIDI, before noteOnSerial: the latest note's glide, 0 none
    Relaxed<double> noteGain; // MIDI: the velocity's gain of the latest note that opened the gate
    Relaxed<double> heldGain; // MIDI: noteGain when the last key went up
    double velocityGain;      // audio: the gain of the note that sounds (1.0 in the synth)
    SmoothPitch smoothPitch;  // audio

    // The keys' frequencies, with the note state (engine/tuning.h); and
    // whether they are in force: the note state's holder writes, audio reads.
    // While 0 (the synth's own tuning) every note plays as in the synth.
    KeyTuning tuning;
    Relaxed<int32_t> tuned;
    // A plugin host's own tuning of the sounding note (CLAP's note expression),
    // on top of its pitch as a bend moves it, in kNoteTuningSteps a semitone:
    // a whole number, so that the frame's one test of bend and tuning covers
    // it too. The thread that renders writes it (0 for each new note), audio
    // reads.
    Relaxed<int32_t> noteTuning;
};

// Steps of SynthState::noteTuning a semitone: 2^20, a ten-thousandth of a
// cent each, a power of two so that steps turn into semitones exactly.
inline constexpr int32_t kNoteTuningSteps = 1 << 20;

// No registered parameter selected (RPN 127/127).
inline constexpr int32_t kNoRpn = 0x3FFF;
inline constexpr int32_t kDefaultBendRangeCents = 200;

// Start-up: every field to zero, then the defaults (operation 1, range 40 to 90,
// static value 50, previous pitch 100 Hz). The slider source and the text sink
// are left as they are. Call before the audio stream opens.
void initSynthState(SynthState &s);
