#pragma once

// Builds Standard MIDI Files byte by byte, so each test writes the file it needs.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A track event: delta time in ticks, then the event's bytes as written (a
// running-status event leaves its status out).
struct TrackEvent {
    uint32_t delta;
    Bytes bytes;
};

inline Bytes varLength(uint32_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    while (v >>= 7)
        out.insert(out.begin(), static_cast<uint8_t>((v & 0x7F) | 0x80));
    return out;
}

inline Bytes bigEndian(uint32_t v, int width) {
    Bytes out;
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes chunk(const std::string &id, const Bytes &body) {
    return Bytes(id.begin(), id.end()) + bigEndian(static_cast<uint32_t>(body.size()), 4) + body;
}

inline Bytes header(uint16_t format, uint16_t tracks, uint16_t division) {
    return chunk("MThd", bigEndian(format, 2) + bigEndian(tracks, 2) + bigEndian(division, 2));
}

inline Bytes trackBody(std::initializer_list<TrackEvent> events) {
    Bytes body;
    for (const TrackEvent &e : events)
        body = body + varLength(e.delta) + e.bytes;
    return body;
}

inline Bytes track(std::initializer_list<TrackEvent> events) {
    return chunk("MTrk", trackBody(events));
}

inline const Bytes kEndOfTrack{0xFF, 0x2F, 0x00};

inline Bytes tempo(uint32_t microsecondsPerQuarter) {
    return Bytes{0xFF, 0x51, 0x03} + bigEndian(microsecondsPerQuarter, 3);
}
