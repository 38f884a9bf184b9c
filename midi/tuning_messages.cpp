#include "midi/tuning_messages.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"

#include <thread>

namespace {

constexpr uint8_t kNonRealTime = 0x7E;
constexpr uint8_t kRealTime = 0x7F;
constexpr uint8_t kTuningStandard = 0x08;
constexpr uint8_t kBulkDump = 0x01;
constexpr uint8_t kKeyChange = 0x02;
constexpr uint8_t kKeyChangeInBank = 0x07;
constexpr uint8_t kOctaveInBytes = 0x08;
constexpr uint8_t kOctaveInWords = 0x09;

constexpr size_t kNameLength = 16;
constexpr size_t kDumpLength = 6 + kNameLength + 3 * kKeyCount + 2; // F0 to F7: 408 bytes
constexpr uint16_t kEveryChannel = 0xFFFF;

// A frequency in three bytes: semitone, then 14 bits of the next one's
// fraction. "3C 00 00" is C4, 261.63 Hz; "45 20 00" lies 25 cents above A4.
double tunedHz(const uint8_t *b) {
    const double semitones = b[0] + ((b[1] << 7) | b[2]) / 16384.0;
    return 440.0 * engineExp2Continuous((semitones - 69.0) / 12.0);
}

bool unchanged(const uint8_t *b) {
    return b[0] == 0x7F && b[1] == 0x7F && b[2] == 0x7F;
}

// Every key at equal temperament moved by its pitch class's cents.
void octaveChange(const double (&cents)[12], TuningChange &change) {
    for (int32_t key = 0; key < kKeyCount; ++key)
        change.keyHz[key] =
            440.0 * engineExp2Continuous((key - 69.0 + cents[key % 12] / 100.0) / 12.0);
}

// The key changes of 08 02 and 08 07: `count` times key and frequency.
bool keyChanges(const uint8_t *at, size_t left, TuningChange &change) {
    const uint8_t count = at[0];
    if (left != 1 + 4 * size_t{count})
        return false;
    for (const uint8_t *k = at + 1; k < at + left; k += 4)
        if (!unchanged(k + 1))
            change.keyHz[k[0]] = tunedHz(k + 1);
    return true;
}

bool bulkDump(const uint8_t *bytes, size_t size, TuningChange &change) {
    if (size != kDumpLength)
        return false;
    const uint8_t *name = bytes + 6, *data = name + kNameLength;
    uint8_t whole = 0, named = 0;
    for (size_t i = 1; i < size - 2; ++i)
        whole ^= bytes[i];
    for (size_t i = 0; i < kNameLength; ++i)
        named ^= name[i];
    const uint8_t checksum = bytes[size - 2], withoutNameAndId = whole ^ named ^ bytes[2];
    if (checksum != (whole & 0x7F) && checksum != (withoutNameAndId & 0x7F))
        return false;
    for (int32_t key = 0; key < kKeyCount; ++key)
        if (const uint8_t *b = data + 3 * key; !unchanged(b))
            change.keyHz[key] = tunedHz(b);
    size_t length = kNameLength;
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == 0))
        --length;
    for (size_t i = 0; i < length; ++i)
        change.name[i] = name[i] < 0x20 ? ' ' : static_cast<char>(name[i]);
    change.name[length] = '\0';
    return true;
}

// The octave forms: a channel mask (ff gg hh: channels 15-16, 8-14, 1-7),
// then 12 pitch classes of one byte or two.
bool octave(const uint8_t *at, size_t left, bool words, TuningChange &change) {
    if (left != 3 + 12 * (words ? 2u : 1u))
        return false;
    change.channels = static_cast<uint16_t>(at[2] | (at[1] << 7) | ((at[0] & 0x03) << 14));
    double cents[12];
    for (int i = 0; i < 12; ++i) {
        const uint8_t *v = at + 3 + (words ? 2 * i : i);
        cents[i] = words ? (((v[0] << 7) | v[1]) - 8192) * 100.0 / 8192 : v[0] - 64.0;
    }
    octaveChange(cents, change);
    return true;
}

void applyChange(SynthState &s, const void *change) {
    applyTuningChange(s, *static_cast<const TuningChange *>(change));
}

void apply(SynthState &s, const void *tuning) {
    applyTuning(s, *static_cast<const Tuning *>(tuning));
}

} // namespace

bool readTuningMessage(const uint8_t *bytes, size_t size, TuningChange &change) {
    if (size < 6 || bytes[0] != 0xF0 || bytes[size - 1] != 0xF7 || bytes[3] != kTuningStandard ||
        (bytes[1] != kNonRealTime && bytes[1] != kRealTime))
        return false;
    for (size_t i = 1; i < size - 1; ++i)
        if (bytes[i] & 0x80)
            return false;
    for (double &hz : change.keyHz)
        hz = 0.0;
    change.realTime = bytes[1] == kRealTime;
    change.channels = kEveryChannel;
    change.name[0] = '\0';
    // From the program number (08 07: the bank) up to F7.
    const uint8_t *at = bytes + 5;
    const size_t left = size - 6;
    switch (bytes[4]) {
    case kBulkDump:
        return !change.realTime && bulkDump(bytes, size, change);
    case kKeyChange:
        return left >= 2 && keyChanges(at + 1, left - 1, change);
    case kKeyChangeInBank:
        return left >= 3 && keyChanges(at + 2, left - 2, change);
    case kOctaveInBytes:
    case kOctaveInWords:
        return octave(at, left, bytes[4] == kOctaveInWords, change);
    default:
        return false;
    }
}

void applyTuningChange(SynthState &s, const TuningChange &change) {
    const int32_t channel = s.channel.get();
    if (channel == 0 ? change.channels == 0 : !(change.channels & (1u << (channel - 1))))
        return;
    for (int32_t key = 0; key < kKeyCount; ++key)
        if (change.keyHz[key] > 0.0)
            retuneKey(s, key, change.keyHz[key], change.realTime);
    if (change.name[0] != '\0')
        publishTuningName(s, change.name);
}

void onSystemExclusive(SynthState &s, const uint8_t *bytes, size_t size) {
    if (s.expressive.get() == 0)
        return;
    TuningChange change;
    if (readTuningMessage(bytes, size, change))
        changeNoteStateIfFree(s, applyChange, &change);
}

void setTuning(SynthState &s, const Tuning &t) {
    while (!trySetTuning(s, t))
        std::this_thread::yield();
}

bool trySetTuning(SynthState &s, const Tuning &t) {
    return changeNoteStateIfFree(s, apply, &t);
}
