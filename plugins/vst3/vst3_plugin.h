#pragma once

// One instance of the VST3 plugin: a single object that is the component, its
// audio processor and its edit controller (hosts ask the component for the
// controller, as for every plugin that keeps both in one), around the engine,
// table of controls and rate conversion the LV2 and CLAP plugins share. A
// file for each concern: the module and factory (vst3_entry), the processor
// (vst3_processor), the parameters and MIDI mapping (vst3_controller), the
// state (vst3_state) and the panel (vst3_view).
#include "plugins/controls/control_ports.h"
#include "plugins/controls/state_text.h"
#include "plugins/host_rate/host_rate_engine.h"

#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/unit.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// An interface of an object as the host holds it: the address of this slot,
// whose first word points to the interface's functions as VST3 lays them out;
// the object it belongs to follows.
template <typename Owner> struct ComSlot {
    const void *functions;
    Owner *owner;
};

template <typename Owner> Owner &ownerOf(void *self) {
    return *static_cast<ComSlot<Owner> *>(self)->owner;
}

// What queryInterface answers: `slot`, with a reference more to its owner,
// or nothing where the owner has no such interface (`slot` null).
template <typename Owner> v3_result handOut(ComSlot<Owner> *slot, void **object) {
    *object = slot;
    if (!slot)
        return V3_NO_INTERFACE;
    slot->owner->references.fetch_add(1, std::memory_order_relaxed);
    return V3_OK;
}

// The parameters beside the controls, whose ids are their port indices: the
// program a Program Change selects, and the controllers and pitch bend that
// IMidiMapping assigns, one hidden parameter for each on each channel.
inline constexpr v3_param_id kProgramParam = 0x100;
inline constexpr v3_param_id kMidiParams = 0x1000;   // + channel * 0x100 + controller
inline constexpr int16_t kPitchBendController = 129; // VST3's number for pitch bend

// The most parameter queues one block's changes are taken from: above the
// number of parameters, as a host sends a queue for each that changes.
inline constexpr size_t kMaxChangeQueues = 512;

// One parameter's changes in the block being played, and its next point.
struct ChangeCursor {
    v3_param_value_queue **queue;
    v3_param_id id;
    int32_t next, count;
    uint32_t frame; // the next point's, within the block
    double value;
};

struct Vst3Plugin {
    ComSlot<Vst3Plugin> component{}, processor{}, controller{}, units{}, midiMapping{};
    std::atomic<uint32_t> references = 1;

    // The processor's side. The engine and the cursors belong to the audio
    // thread; the main thread sets it up and activates it while the host
    // does not process.
    HostRateEngine engine;
    double rate = 0.0;    // as the host set processing up; 0 before
    uint32_t latency = 0; // frames, as last told the host
    std::atomic<bool> active = false;
    // Each control as the processor plays it, by port index: the audio
    // thread writes it from the host's changes, the main thread from a state.
    std::atomic<float> played[kPortCount] = {};
    // The sound's level at the last block's end, for the panel's picture.
    std::atomic<float> level = 0.0f;
    ChangeCursor changes[kMaxChangeQueues] = {};

    // The controller's side: each control as the host and the panel see it,
    // by port index (the main thread; Ardour sets the program from its audio
    // thread too), and the host's component handler.
    std::atomic<float> shown[kPortCount] = {};
    v3_component_handler **handler = nullptr;
    // The Scala files of the tuning as a state or the panel last set them
    // (the main thread's; the tuning itself goes to the engine by handover).
    TuningFileTexts tuningFiles;
};

// The instance's life: a reference more, one less (the last deletes it).
void retainVst3Plugin(Vst3Plugin &p);
void releaseVst3Plugin(Vst3Plugin &p);

// Control c's value from a host's normalized one, and back: the stepped
// controls (the operation, the channel, the switches) in whole steps, exactly
// both ways, the others continuous. A value past 0 or 1 counts as 0 or 1;
// NaN stays NaN, for the caller to refuse.
double controlPlain(const ControlPort &c, double normalized);
double controlNormalized(const ControlPort &c, double plain);

// Audio thread: the short message a hidden MIDI parameter's value stands for
// (Control Change or Pitch Bend on its channel); 0 for any other parameter.
uint32_t midiParamMessage(v3_param_id id, double normalized);

// Reads a state from the host's stream, as many reads as it takes; false,
// said on standard error, for anything but a state a plugin of this family
// saves.
bool readVst3State(v3_bstream **stream, int32_t (&values)[kPortCount], TuningFileTexts &files);

// The controller's panel for the host's view `name` ("editor"), or null.
v3_plugin_view **createVst3View(Vst3Plugin &p, const char *name);

// Text as VST3 holds it (UTF-16; ours is ASCII) in `size` units, cut to fit
// with its zero.
inline void copyUtf16(int16_t *to, size_t size, std::string_view from) {
    size_t i = 0;
    for (; i + 1 < size && i < from.size(); ++i)
        to[i] = static_cast<unsigned char>(from[i]);
    to[i] = 0;
}
template <size_t N> void copyUtf16(int16_t (&to)[N], std::string_view from) {
    copyUtf16(to, N, from);
}

// The functions of each interface, in the file of their concern.
extern const v3_component_cpp kVst3Component;
extern const v3_audio_processor_cpp kVst3Processor;
extern const v3_edit_controller_cpp kVst3Controller;
extern const v3_unit_information_cpp kVst3Units;
extern const v3_midi_mapping_cpp kVst3MidiMapping;

// The instance's IUnknown and IPluginBase, which every interface shares.
v3_result V3_API queryVst3Plugin(void *self, const v3_tuid iid, void **object);
uint32_t V3_API refVst3Plugin(void *self);
uint32_t V3_API unrefVst3Plugin(void *self);
v3_result V3_API initializeVst3Plugin(void *self, v3_funknown **context);
v3_result V3_API terminateVst3Plugin(void *self);

// The state, shared by the component's and the controller's tables.
v3_result V3_API getComponentState(void *self, v3_bstream **stream);
v3_result V3_API setComponentState(void *self, v3_bstream **stream);
v3_result V3_API setControllerComponentState(void *self, v3_bstream **stream);
v3_result V3_API getControllerState(void *self, v3_bstream **stream);
v3_result V3_API setControllerState(void *self, v3_bstream **stream);
