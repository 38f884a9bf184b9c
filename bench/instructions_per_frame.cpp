// Renders a held A4 for the number of 256-frame blocks given, for counting
// instructions with valgrind --tool=callgrind (a loaded machine does not
// disturb the count): the difference between two counts, divided by the
// frames between them, is the engine's cost per frame. Usage:
//   ondrilux_instructions MODE BLOCKS [OPERATION]
// MODE 0: the synth's engine; 1: as ondrilux-jack and the plugin run it,
// bend centred; 2: the same, its bend changed before every block; 3: as 1,
// under a tuning (A4 a quarter tone sharp).
#include "engine/render_callback.h"
#include "engine/synth_state.h"
#include "midi/note_handling.h"
#include "midi/tuning_messages.h"

#include <cstdlib>
#include <vector>

namespace {

SynthState engine;

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return 2;
    const int mode = std::atoi(argv[1]), blocks = std::atoi(argv[2]);
    initSynthState(engine);
    engine.operation.set(argc > 3 ? std::atoi(argv[3]) : 1);
    engine.expressive.set(mode > 0 ? 1 : 0);
    const uint8_t quarterToneSharp[] = {0xF0, 0x7F, 0, 8, 2, 0, 1, 69, 69, 0x40, 0, 0xF7};
    if (mode == 3)
        onSystemExclusive(engine, quarterToneSharp, sizeof quarterToneSharp);
    onMidiInput(engine, kMidiInData, shortMessage(0x90, 69, 100));
    std::vector<float> buffer(2000); // past the fade-out, into the attack
    renderFrames(engine, buffer.data(), buffer.size());
    uint32_t bend = 8192;
    for (int b = 0; b < blocks; ++b) {
        if (mode == 2) {
            bend = 8192 + (bend + 97) % 8192;
            onMidiInput(engine, kMidiInData,
                        shortMessage(0xE0, static_cast<uint8_t>(bend & 0x7F),
                                     static_cast<uint8_t>(bend >> 7)));
        }
        renderFrames(engine, buffer.data(), 256);
    }
    return buffer[5] > 2.0f ? 1 : 0; // keeps the render from being optimised away
}
