// libFuzzer target: any bytes must give a song or a one-line error, never a
// crash, a hang or an out-of-bounds read; and a song must be in playing order,
// its system-exclusive messages whole.
#include "midi_file/midi_file_reader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MidiSong song;
    std::string error;
    if (!readMidiFile({data, size}, song, error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    double previous = 0.0;
    for (const MidiChannelMessage &m : song.messages) {
        if (m.seconds < previous || m.seconds > song.lastEventSeconds || m.status < 0x80 ||
            m.status > 0xEF || m.data1 > 0x7F || m.data2 > 0x7F)
            std::abort();
        previous = m.seconds;
    }
    for (const MidiSystemExclusive &m : song.systemExclusive)
        if (m.bytes.front() != 0xF0 || m.bytes.back() != 0xF7 || m.position > song.messages.size())
            std::abort();
    return 0;
}
