#include "midi_file/midi_file_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Microseconds per quarter note until the first tempo event: 120 beats per minute.
constexpr uint32_t kDefaultTempo = 500000;
constexpr uint8_t kMetaEvent = 0xFF;
constexpr uint8_t kMetaTempo = 0x51;
constexpr uint8_t kMetaEndOfTrack = 0x2F;
constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kSysExEscape = 0xF7;

enum class EventKind : uint8_t { channel, tempo, systemExclusive, other };

struct TrackEvent {
    int64_t tick;
    EventKind kind;
    uint8_t status;
    uint8_t data1;
    uint8_t data2;
    uint32_t tempo;         // microseconds per quarter note, for tempo events
    uint32_t exclusive = 0; // system-exclusive events: the index of their message
};

// A track's system-exclusive messages, F0 to F7, and the one being joined
// from packets (F0 without F7, then F7 escapes up to one that ends in F7).
struct ExclusiveMessages {
    std::vector<std::vector<uint8_t>> whole;
    std::vector<uint8_t> open;
};

// A system-exclusive event's data: a message's start (F0), its next packet
// (F7 while one is open) or, as an escape, anything else (dropped). True when
// it completes a message, now last in `messages.whole`.
bool joinExclusive(uint8_t kind, std::span<const uint8_t> data, ExclusiveMessages &messages) {
    if (kind == kSysEx)
        messages.open.assign(1, kSysEx);
    else if (messages.open.empty())
        return false;
    messages.open.insert(messages.open.end(), data.begin(), data.end());
    if (data.empty() || data.back() != kSysExEscape)
        return false;
    messages.whole.push_back(std::move(messages.open));
    messages.open.clear();
    return true;
}

// A bounds-checked cursor; `base` is the offset of bytes[0] in the file, for messages.
struct ByteCursor {
    std::span<const uint8_t> bytes;
    size_t base = 0;
    size_t pos = 0;

    size_t left() const { return bytes.size() - pos; }
    size_t offset() const { return base + pos; }

    bool byte(uint8_t &b) {
        if (left() < 1)
            return false;
        b = bytes[pos++];
        return true;
    }

    bool skip(size_t n) {
        if (left() < n)
            return false;
        pos += n;
        return true;
    }

    // A variable-length quantity: at most four bytes, seven bits each, high bit
    // set on all but the last; so at most 0x0FFFFFFF.
    bool varLength(uint32_t &value, bool &malformed) {
        value = 0;
        malformed = false;
        for (int i = 0; i < 4; ++i) {
            uint8_t b;
            if (!byte(b))
                return false;
            value = (value << 7) | (b & 0x7F);
            if (!(b & 0x80))
                return true;
        }
        malformed = true;
        return false;
    }
};

uint32_t bigEndian(const uint8_t *p, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

std::string hexByte(uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

std::string chunkName(const uint8_t *id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] > 0x7E)
            return {};
    return std::string(reinterpret_cast<const char *>(id), 4);
}

// Data bytes that channel messages of each status carry: 0x80-0xBF and 0xE0-0xEF
// two, program change (0xC0) and channel pressure (0xD0) one.
int dataBytesOf(uint8_t status) {
    const uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

// Appends the events of one MTrk chunk. Running status carries across
// meta and sysex events: strictly they cancel it, but a data byte after one can
// mean nothing else, and some writers rely on it.
bool parseTrack(ByteCursor c, int track, std::vector<TrackEvent> &events,
                ExclusiveMessages &exclusive, std::string &error) {
    const std::string where = "track " + std::to_string(track) + ": ";
    int64_t tick = 0;
    uint8_t runningStatus = 0;

    while (c.left() > 0) {
        const size_t eventOffset = c.offset();
        const std::string at = " at byte " + std::to_string(eventOffset);
        uint32_t delta;
        bool malformed;
        if (!c.varLength(delta, malformed)) {
            error = where +
                    (malformed ? "malformed delta time" : "event cut short by the chunk's end") +
                    at;
            return false;
        }
        tick += delta;

        uint8_t b;
        if (!c.byte(b)) {
            error = where + "event cut short by the chunk's end" + at;
            return false;
        }

        if (b == kMetaEvent || b == kSysEx || b == kSysExEscape) {
            uint8_t type = 0;
            uint32_t length;
            if ((b == kMetaEvent && !c.byte(type)) || !c.varLength(length, malformed) ||
                length > c.left()) {
                error =
                    where +
                    (malformed ? "malformed event length" : "event cut short by the chunk's end") +
                    at;
                return false;
            }
            TrackEvent e{tick, EventKind::other, b, type, 0, 0};
            if (b == kMetaEvent && type == kMetaTempo) {
                if (length < 3) {
                    error = where + "tempo event shorter than 3 bytes" + at;
                    return false;
                }
                e.kind = EventKind::tempo;
                e.tempo = bigEndian(&c.bytes[c.pos], 3);
            }
            if (b != kMetaEvent && joinExclusive(b, c.bytes.subspan(c.pos, length), exclusive)) {
                e.kind = EventKind::systemExclusive;
                e.exclusive = static_cast<uint32_t>(exclusive.whole.size() - 1);
            }
            c.skip(length);
            events.push_back(e);
            if (b == kMetaEvent && type == kMetaEndOfTrack)
                return true; // whatever follows in the chunk is not part of the track
            continue;
        }
        if (b >= 0xF0) {
            error = where + "status byte " + hexByte(b) + " has no place in a MIDI file" + at;
            return false;
        }

        uint8_t status = b;
        uint8_t data[2] = {0, 0};
        int have = 0;
        if (b < 0x80) {
            if (runningStatus == 0) {
                error = where + "data byte " + hexByte(b) + " without a status byte" + at;
                return false;
            }
            status = runningStatus;
            data[have++] = b;
        }
        runningStatus = status;
        for (; have < dataBytesOf(status); ++have) {
            if (!c.byte(data[have])) {
                error = where + "event cut short by the chunk's end" + at;
                return false;
            }
            if (data[have] >= 0x80) {
                error = where + "status byte " + hexByte(data[have]) + " where a data byte of " +
                        hexByte(status) + " belongs" + at;
                return false;
            }
        }
        events.push_back({tick, EventKind::channel, status, data[0], data[1], 0});
    }
    return true; // no end-of-track event: the chunk's end ends the track
}

} // namespace

bool readMidiFile(std::span<const uint8_t> bytes, MidiSong &song, std::string &error) {
    song = {};
    if (bytes.size() < 4 || std::memcmp(bytes.data(), "MThd", 4) != 0) {
        error = "not a MIDI file (no MThd header)";
        return false;
    }
    if (bytes.size() < 14) {
        error = "truncated MIDI file: the header chunk is cut short";
        return false;
    }
    const uint32_t headerLength = bigEndian(&bytes[4], 4);
    if (headerLength < 6) {
        error = "malformed header chunk: length " + std::to_string(headerLength) + ", at least 6";
        return false;
    }
    if (headerLength > bytes.size() - 8) {
        error = "truncated MIDI file: the header chunk is cut short";
        return false;
    }
    const uint32_t format = bigEndian(&bytes[8], 2);
    const uint32_t trackCount = bigEndian(&bytes[10], 2);
    const uint32_t division = bigEndian(&bytes[12], 2);
    if (division & 0x8000) {
        error = "SMPTE time division is not supported (only ticks per quarter note)";
        return false;
    }
    if (division == 0) {
        error = "malformed header chunk: 0 ticks per quarter note";
        return false;
    }
    if (format == 2) {
        error = "format 2 MIDI files (independent sequences) are not supported";
        return false;
    }
    if (format > 2) {
        error = "malformed header chunk: unknown format " + std::to_string(format);
        return false;
    }

    // Tracks one after another, so a stable sort by tick alone leaves ties in
    // track order and each track's events in file order.
    std::vector<TrackEvent> events;
    ExclusiveMessages exclusive;
    size_t pos = 8 + size_t{headerLength};
    for (uint32_t track = 1; track <= trackCount;) {
        const size_t left = bytes.size() - pos;
        if (left < 8) {
            error = "truncated MIDI file: " +
                    (left == 0 ? "track " + std::to_string(track) + " of " +
                                     std::to_string(trackCount) + " is missing"
                               : "chunk header cut short at byte " + std::to_string(pos));
            return false;
        }
        const uint8_t *id = &bytes[pos];
        const std::string name = chunkName(id);
        const uint32_t length = bigEndian(id + 4, 4);
        if (name.empty()) {
            error = "malformed MIDI file: no chunk starts at byte " + std::to_string(pos);
            return false;
        }
        if (length > left - 8) {
            error = "truncated MIDI file: chunk '" + name + "' at byte " + std::to_string(pos) +
                    " declares " + std::to_string(length) + " bytes, " + std::to_string(left - 8) +
                    " remain";
            return false;
        }
        if (name == "MTrk") {
            ByteCursor c{bytes.subspan(pos + 8, length), pos + 8};
            if (!parseTrack(c, static_cast<int>(track), events, exclusive, error))
                return false;
            exclusive.open.clear(); // a message a track leaves unfinished is dropped
            ++track;
        } // chunks of other types are skipped, as the file format asks
        pos += 8 + size_t{length};
    }

    std::stable_sort(events.begin(), events.end(),
                     [](const TrackEvent &a, const TrackEvent &b) { return a.tick < b.tick; });

    // Seconds at the last tempo change plus the ticks since then at that tempo.
    double segmentSeconds = 0.0;
    int64_t segmentTick = 0;
    uint32_t tempo = kDefaultTempo;
    for (const TrackEvent &e : events) {
        const double seconds =
            segmentSeconds + static_cast<double>(e.tick - segmentTick) * tempo / (1e6 * division);
        if (e.kind == EventKind::tempo) {
            segmentSeconds = seconds;
            segmentTick = e.tick;
            tempo = e.tempo;
        } else if (e.kind == EventKind::channel) {
            song.messages.push_back({seconds, e.status, e.data1, e.data2});
        } else if (e.kind == EventKind::systemExclusive) {
            song.systemExclusive.push_back(
                {seconds, song.messages.size(), std::move(exclusive.whole[e.exclusive])});
        }
        song.lastEventSeconds = seconds;
    }
    return true;
}
