#pragma once

#include "midi/note_handling.h"

#include <cstddef>
#include <cstdint>

// Splits the bytes of one MIDI event (a JACK MIDI event holds one whole
// message, but a faulty sender may put a cut-off system-exclusive message or
// several messages in one) into messages by the MIDI rules, and calls
// `deliver(uint32_t shortMsg)` for each short message, packed as
// shortMessage() packs them, and `deliverSystemExclusive(const uint8_t *bytes,
// size_t size)` for each whole system-exclusive message, F0 to F7:
//  - a system-exclusive message (F0 ...) ends with F7; any status byte other
//    than a real-time one cuts it short, and it is dropped ("F0 41 10 90 3C
//    64" delivers only the note-on); so is one with real-time bytes inside;
//  - real-time bytes (F8-FF) are delivered wherever they stand, also inside
//    another message;
//  - data bytes with no status before them (a fragment's continuation) and a
//    stray F7 are dropped; a message cut short by a status byte is dropped;
//  - after a complete channel message, further data bytes repeat its status
//    (running status).
// Nothing is carried from one event to the next. Real-time safe: no
// allocation, no lock.
template <typename Deliver, typename DeliverSystemExclusive>
void forEachMidiMessage(const uint8_t *bytes, size_t size, Deliver &&deliver,
                        DeliverSystemExclusive &&deliverSystemExclusive) {
    uint8_t status = 0; // the message being gathered; 0: none (dropping data bytes)
    uint8_t data[2] = {0, 0};
    int needed = 0, got = 0;
    const uint8_t *exclusive = nullptr; // where the open system-exclusive message starts
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0xF8) { // real time: delivered at once, interrupts nothing
            deliver(shortMessage(b));
            exclusive = nullptr;
            continue;
        }
        if (b & 0x80) { // any other status byte ends a system-exclusive message
            if (b == 0xF7 && exclusive)
                deliverSystemExclusive(exclusive, static_cast<size_t>(bytes + i + 1 - exclusive));
            exclusive = b == 0xF0 ? bytes + i : nullptr;
            status = 0;
            got = 0;
            if (b == 0xF0 || b == 0xF7)
                continue;
            if (b < 0xF0)
                needed = (b & 0xE0) == 0xC0 ? 1 : 2; // program change, channel pressure: 1
            else
                needed = (b == 0xF2) ? 2 : (b == 0xF1 || b == 0xF3) ? 1 : 0;
            if (needed == 0) { // tune request and the undefined F4, F5
                deliver(shortMessage(b));
                continue;
            }
            status = b;
            continue;
        }
        if (status == 0)
            continue; // inside a system-exclusive message (F0 leaves none), or a fragment's data
        data[got++] = b;
        if (got == needed) {
            deliver(shortMessage(status, data[0], needed > 1 ? data[1] : 0));
            got = 0;
            if (status >= 0xF0) // system common messages have no running status
                status = 0;
        }
    }
}

// The short messages alone; system-exclusive messages are dropped.
template <typename Deliver>
void forEachShortMessage(const uint8_t *bytes, size_t size, Deliver &&deliver) {
    forEachMidiMessage(bytes, size, deliver, [](const uint8_t *, size_t) {});
}
