#include "plugins/host_rate/host_notes.h"

#include "plugins/host_rate/host_rate_engine.h"

#include "midi/note_handling.h"

#include <algorithm>
#include <cmath>

namespace {

void playShortMessage(HostRateEngine &h, uint8_t status, uint8_t data1, uint8_t data2) {
    onMidiInput(h.engine.state, kMidiInData, shortMessage(status, data1, data2));
}

void playHostNote(HostRateEngine &h, const HostNote &n, bool on) {
    const double velocity = n.velocity >= 0.0 ? std::min(n.velocity, 1.0) : 0.0;
    const auto byte = static_cast<uint8_t>(std::lrint(velocity * 127.0));
    for (int16_t channel = 0; channel < 16; ++channel) {
        if (n.channel != channel && !(n.channel == -1 && !on))
            continue;
        const auto status = static_cast<uint8_t>(channel);
        if (n.key >= 0 && n.key <= 127)
            playShortMessage(h, (on ? 0x90 : 0x80) | status, static_cast<uint8_t>(n.key),
                             on ? std::max<uint8_t>(byte, 1) : byte);
        else if (n.key == -1 && !on)
            playShortMessage(h, 0xB0 | status, 123, 0);
    }
}

} // namespace

void playHostNoteOn(HostRateEngine &h, const HostNote &n) {
    playHostNote(h, n, true);
}

void playHostNoteOff(HostRateEngine &h, const HostNote &n) {
    playHostNote(h, n, false);
}
