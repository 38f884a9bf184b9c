#pragma once

// A small VST3 host on the plugin's headers: it opens a module as hosts do
// (dlopen, ModuleEntry, GetPluginFactory), makes the component and takes its
// controller from it (as Ardour does), and processes blocks of one mono
// output. MIDI reaches the plugin as Ardour passes it: notes as note events,
// controllers and pitch bend through the plugin's IMidiMapping, Program
// Change as its program parameter. The panel gets a frame with a run loop,
// which the test drives.
#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/view.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Vst3Instance {
  public:
    // The module's first class made; ok() false when it cannot be.
    explicit Vst3Instance(const std::string &path);
    ~Vst3Instance();
    Vst3Instance(const Vst3Instance &) = delete;
    Vst3Instance &operator=(const Vst3Instance &) = delete;

    bool ok() const { return controller != nullptr; }
    // Sets processing up at `rate` and activates; false where refused.
    bool activate(double rate);

    // The next block's input, added in frame order. No allocation.
    void clearEvents();
    void addMidi(uint32_t at, const uint8_t *bytes, size_t size);
    void addParam(uint32_t at, v3_param_id id, double normalized);
    // Real time: one process of `frames` frames into `out` (null: no buffer).
    v3_result process(float *out, uint32_t frames);

    // The component's state; one loaded into the component, then the
    // controller, `piece` bytes a read.
    std::string saveState() const;
    bool loadState(const std::string &state, size_t piece = 1 << 20) const;
    // The controller's value of a parameter, in its units.
    double plain(v3_param_id id) const;
    // The run loop: the panel's timer, then its connection's events.
    void tick();

    v3_component **component = nullptr;
    v3_audio_processor **processor = nullptr;
    v3_edit_controller **controller = nullptr;
    v3_plugin_frame **frame = nullptr;
    // What the plugin asked of the host, in order: 'b'egin, 'p'erform and
    // 'e'nd an edit, 'r'estart (its flags), a 'T'imer and an 'F'ile
    // descriptor registered (every ms, the fd) and unregistered ('t', 'f').
    struct Call {
        char kind;
        uint64_t id;
        double value;
    };
    std::vector<Call> calls;
    std::string kinds;
    // The parameter changes the processor sent in the last block.
    std::vector<std::pair<v3_param_id, double>> sent;

    struct Object { // a host object the plugin may hold: its functions first
        const void *functions;
        Vst3Instance *host;
    };
    struct Changes;
    std::vector<v3_event> events;
    void **timer = nullptr, **fd = nullptr; // the panel's handlers in the run loop

  private:
    void *library_ = nullptr;
    bool active_ = false;
    v3_midi_mapping **mapping_ = nullptr;
    v3_param_id programParam_ = 0;
    int32_t programSteps_ = 0;
    // The component handler, the frame and its run loop, the events.
    Object objects_[4];
    std::unique_ptr<Changes> in_, out_;
};
