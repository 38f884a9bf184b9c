#include "plugins/host_rate/host_notes.h"

#include "plugins/host_rate/host_rate_engine.h"

#include "midi/note_handling.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr uint8_t kNoteOn = 0x90, kNoteOff = 0x80, kControlChange = 0xB0;
constexpr uint8_t kAllSoundOff = 120, kAllNotesOff = 123;

uint8_t velocityByte(const HostNote &n) {
    const double velocity = n.velocity >= 0.0 ? std::min(n.velocity, 1.0) : 0.0;
    return static_cast<uint8_t>(std::lrint(velocity * 127.0));
}

// Notes what a message the engine hears starts or ends: a note-on holds its
// key and becomes the voice, a note-off lets one go, All Sound Off and All
// Notes Off let every key go (on any channel heard, as the note handling does).
void notePlayed(HostNotesPlayed &played, const SynthState &s, uint32_t message) {
    const uint8_t status = message & 0xFF, data1 = (message >> 8) & 0x7F,
                  data2 = (message >> 16) & 0x7F, kind = status & 0xF0;
    if (!hears(s, status))
        return;
    uint8_t &held = played.held[status & 0x0F][data1];
    if (kind == kNoteOn && data2 != 0) {
        held = static_cast<uint8_t>(std::min(held + 1, 255));
        played.voiceKey = data1;
        played.voiceChannel = status & 0x0F;
        ++played.voiceSerial;
    } else if ((kind == kNoteOff || kind == kNoteOn) && held > 0) {
        --held;
    } else if (kind == kControlChange && (data1 == kAllSoundOff || data1 == kAllNotesOff)) {
        letGoOfHostNotes(played);
    }
}

bool matches(int16_t wanted, int16_t value) {
    return wanted == -1 || wanted == value;
}

// The channels or keys, [first, end), that `wanted` names of `count`: all of
// them for -1, none for one out of range.
std::pair<int16_t, int16_t> named(int16_t wanted, int16_t count) {
    if (wanted == -1)
        return {0, count};
    if (wanted < 0 || wanted >= count)
        return {0, 0};
    return {wanted, static_cast<int16_t>(wanted + 1)};
}

// A note-off for each note-on still held whose key and channel n names.
void releasePlayed(HostRateEngine &h, const HostNote &n) {
    const auto [firstChannel, endChannel] = named(n.channel, 16);
    const auto [firstKey, endKey] = named(n.key, 128);
    for (int16_t channel = firstChannel; channel < endChannel; ++channel)
        for (int16_t key = firstKey; key < endKey; ++key) {
            const auto message = shortMessage(static_cast<uint8_t>(kNoteOff | channel),
                                              static_cast<uint8_t>(key), velocityByte(n));
            for (uint8_t &held = h.notes.held[channel][key]; held > 0; --held)
                onMidiInput(h.engine.state, kMidiInData, message);
        }
}

} // namespace

void playHostMidi(HostRateEngine &h, uint32_t message) {
    notePlayed(h.notes, h.engine.state, message);
    onMidiInput(h.engine.state, kMidiInData, message);
}

void playHostNoteOn(HostRateEngine &h, const HostNote &n) {
    if (n.channel >= 0 && n.channel < 16 && n.key >= 0 && n.key < 128)
        playHostMidi(h, shortMessage(static_cast<uint8_t>(kNoteOn | n.channel),
                                     static_cast<uint8_t>(n.key),
                                     std::max<uint8_t>(velocityByte(n), 1)));
}

void playHostNoteOff(HostRateEngine &h, const HostNote &n) {
    if (n.key != -1) {
        releasePlayed(h, n);
        return;
    }
    for (int16_t channel = 0; channel < 16; ++channel)
        if (matches(n.channel, channel))
            playHostMidi(
                h, shortMessage(static_cast<uint8_t>(kControlChange | channel), kAllNotesOff, 0));
}

// A mono synth has one voice, the latest note's; the keys held under it sound
// through it (there is no stack of keys to fall back to). So a choke that names
// the voice ends it and every key with it: after a mute with a key still down
// the envelope would arm again and the choked pitch start over. One that names
// only keys held under the voice ends those keys, and the voice plays on (or
// releases, if they held its gate open last), as the host's other voices do.
void playHostNoteChoke(HostRateEngine &h, const HostNote &n) {
    if (!namesHostVoice(h.notes, n.channel, n.key)) {
        releasePlayed(h, n);
        return;
    }
    const int32_t listened = h.engine.state.channel.get(); // 0 every channel
    const auto status = static_cast<uint8_t>(kControlChange | (listened > 0 ? listened - 1 : 0));
    playHostMidi(h, shortMessage(status, kAllSoundOff, 0));
}

bool namesHostVoice(const HostNotesPlayed &played, int16_t channel, int16_t key) {
    return played.voiceKey >= 0 && matches(key, played.voiceKey) &&
           matches(channel, played.voiceChannel);
}

void letGoOfHostNotes(HostNotesPlayed &played) {
    std::memset(played.held, 0, sizeof played.held);
}

void forgetHostNotes(HostNotesPlayed &played) {
    letGoOfHostNotes(played);
    played.voiceKey = played.voiceChannel = -1;
    ++played.voiceSerial;
}
