#include "engine/tuning.h"

#include "engine/engine_math.h"
#include "engine/synth_state.h"

#include <iterator>

double equalTemperedHz(int32_t key) {
    return engineExp2((key + (-69.0)) / 12.0) * 440.0;
}

void setTuningName(Tuning &t, std::string_view text) {
    size_t out = 0;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        // A character's length by its first byte; 0: no UTF-8 starts so.
        const size_t length = b < 0x80             ? 1
                              : (b & 0xE0) == 0xC0 ? 2
                              : (b & 0xF0) == 0xE0 ? 3
                              : (b & 0xF8) == 0xF0 ? 4
                                                   : 0;
        bool whole = length > 0 && i + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        const size_t taken = whole ? length : 1;
        if (out + taken >= kTuningNameBytes)
            break;
        if (!whole)
            t.name[out++] = '?';
        else if (b < 0x20 || b == 0x7F)
            t.name[out++] = ' ';
        else
            for (size_t k = 0; k < length; ++k)
                t.name[out++] = text[i + k];
        i += taken;
    }
    t.name[out] = '\0';
}

void applyTuning(SynthState &s, const Tuning &t) {
    // The synth's own starts the table a message changes: equal temperament.
    for (int32_t key = 0; key < kKeyCount; ++key) {
        const double hz = t.synthsOwn ? equalTemperedHz(key) : t.keyHz[key];
        s.tuning.keyHz[key] = tunedHzPlayable(hz) ? hz : 0.0;
    }
    publishTuningName(s, t.name);
    s.tuned.set(t.synthsOwn ? 0 : 1);
}

void retuneKey(SynthState &s, int32_t key, double hz, bool now) {
    s.tuning.keyHz[key] = tunedHzPlayable(hz) ? hz : 0.0;
    // From here on every note plays from the table, the one sounding now too:
    // at its exact pitch rather than its whole-frame period's.
    s.tuned.set(1);
    if (now && key == s.tuning.soundingKey)
        s.noteFrequency.set(s.tuning.keyHz[key]);
}

void publishTuningName(SynthState &s, const char *name) {
    PublishedName &p = s.tuning.name;
    uint64_t words[kTuningNameBytes / 8] = {};
    for (size_t i = 0; i < kTuningNameBytes - 1 && name[i] != '\0'; ++i)
        words[i / 8] |= uint64_t{static_cast<unsigned char>(name[i])} << (8 * (i % 8));
    // Sequentially consistent throughout: names change seldom, and the order
    // of these steps is the whole lock.
    const uint32_t version = p.version.load();
    p.version.store(version + 1);
    for (size_t i = 0; i < std::size(words); ++i)
        p.words[i].store(words[i]);
    p.version.store(version + 2);
}

void tuningName(const SynthState &s, char (&name)[kTuningNameBytes]) {
    const PublishedName &p = s.tuning.name;
    uint64_t words[kTuningNameBytes / 8];
    for (;;) {
        const uint32_t before = p.version.load();
        for (size_t i = 0; i < std::size(words); ++i)
            words[i] = p.words[i].load();
        if (before % 2 == 0 && p.version.load() == before)
            break;
    }
    for (size_t i = 0; i < kTuningNameBytes; ++i)
        name[i] = static_cast<char>(words[i / 8] >> (8 * (i % 8)));
    name[kTuningNameBytes - 1] = '\0';
}

void resetKeyTuning(SynthState &s) {
    applyTuning(s, Tuning{});
    s.tuning.soundingKey = -1;
}
