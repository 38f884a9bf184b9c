#pragma once

// A small VST3 host on the plugin's headers: it opens a module as hosts do
// (ModuleEntry, GetPluginFactory), makes the component, takes its controller
// from it as Ardour does, and processes blocks of one mono output. MIDI
// reaches the plugin as Ardour passes it: notes as note events, controllers
// and pitch bend through the plugin's IMidiMapping. The panel's frame has a
// run loop the test drives.
#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/view.h>

#include <memory>
#include <string>
#include <vector>

class Vst3Instance {
  public:
    explicit Vst3Instance(const std::string &path); // ok() false where it cannot be made
    ~Vst3Instance();
    bool ok() const { return controller != nullptr; }
    bool activate(double rate); // set up at `rate` and active; false where refused

    // The next block's input, added in frame order; process plays it (null:
    // no buffer). No allocation.
    void clearEvents();
    void addMidi(uint32_t at, const uint8_t *bytes, size_t size);
    void addParam(uint32_t at, v3_param_id id, double normalized);
    v3_result process(float *out, uint32_t frames);

    // The component's state; one loaded into it and the controller, `piece`
    // bytes a read. A parameter's value as the controller has it.
    std::string saveState() const;
    bool loadState(const std::string &state, size_t piece) const;
    double plain(v3_param_id id) const;
    void tick(); // the run loop: the panel's timer, then its connection

    v3_component **component = nullptr;
    v3_audio_processor **processor = nullptr;
    v3_edit_controller **controller = nullptr;
    v3_plugin_frame **frame = nullptr;
    // What the plugin asked of the host, in order: 'b'egin, 'p'erform, 'e'nd
    // an edit, 'r'estart, a 'T'imer and an 'F'ile descriptor in the run loop
    // and out of it ('t', 'f'); and the parameter changes of the last block.
    struct Call {
        char kind;
        uint64_t id;
        double value;
    };
    std::vector<Call> calls;
    std::string kinds;
    std::vector<std::pair<v3_param_id, double>> sent;

    struct Object { // what the plugin holds of the host: its functions first
        const void *functions;
        Vst3Instance *host;
    };
    struct Changes;
    std::vector<v3_event> events;
    void **timer = nullptr, **fd = nullptr; // the panel's handlers in the run loop

  private:
    bool active_ = false;
    v3_midi_mapping **mapping_ = nullptr;
    Object objects_[4]; // the component handler, the frame, its run loop, the events
    std::unique_ptr<Changes> in_, out_;
};
