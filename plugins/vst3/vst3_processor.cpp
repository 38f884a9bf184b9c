// The VST3 plugin's component and audio processor: its buses (no audio in,
// one mono output, one event input), its setup at the host's rate with the
// converter's latency, and the audio thread, which plays each of the host's
// changes and events at its frame.
#include "plugins/vst3/vst3_plugin.h"

#include "plugins/host_rate/host_notes.h"

#include "engine_driving/live_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A bus this plugin has: the audio output, the event input.
bool isBus(int32_t mediaType, int32_t direction, int32_t index) {
    return index == 0 && ((mediaType == V3_AUDIO && direction == V3_OUTPUT) ||
                          (mediaType == V3_EVENT && direction == V3_INPUT));
}

v3_result V3_API controllerClassId(void *, v3_tuid) {
    return V3_FALSE; // the component is its own controller
}

v3_result V3_API setIoMode(void *, int32_t) {
    return V3_OK;
}

int32_t V3_API busCount(void *, int32_t mediaType, int32_t direction) {
    return isBus(mediaType, direction, 0) ? 1 : 0;
}

v3_result V3_API busInfo(void *, int32_t mediaType, int32_t direction, int32_t index,
                         v3_bus_info *info) {
    if (!isBus(mediaType, direction, index))
        return V3_INVALID_ARG;
    *info = v3_bus_info{};
    info->media_type = mediaType;
    info->direction = direction;
    info->channel_count = mediaType == V3_AUDIO ? 1 : 16;
    copyUtf16(info->bus_name, mediaType == V3_AUDIO ? "Out" : "MIDI in");
    info->bus_type = V3_MAIN;
    info->flags = V3_DEFAULT_ACTIVE;
    return V3_OK;
}

v3_result V3_API routingInfo(void *, v3_routing_info *, v3_routing_info *) {
    return V3_NOT_IMPLEMENTED;
}

// The plugin plays whether or not the host activates its buses: it renders
// into whatever output the host gives.
v3_result V3_API activateBus(void *, int32_t mediaType, int32_t direction, int32_t index, v3_bool) {
    return isBus(mediaType, direction, index) ? V3_OK : V3_INVALID_ARG;
}

// A fresh engine, as at the synth's start: silence, no note held over.
v3_result V3_API setActive(void *self, v3_bool state) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    if (!state || p.active.load(std::memory_order_relaxed)) {
        p.active.store(state != 0, std::memory_order_relaxed);
        return V3_OK;
    }
    if (p.rate == 0.0) {
        std::fprintf(stderr, "ondrilux: the host set no rate that can be played before "
                             "activating the plugin: it stays silent\n");
        return V3_FALSE;
    }
    if (!startHostRateEngine(p.engine, p.rate))
        return V3_FALSE;
    p.active.store(true, std::memory_order_relaxed);
    return V3_OK;
}

v3_result V3_API setBusArrangements(void *, v3_speaker_arrangement *, int32_t inputCount,
                                    v3_speaker_arrangement *outputs, int32_t outputCount) {
    const bool mono = inputCount == 0 && outputCount == 1 && outputs && outputs[0] == V3_SPEAKER_M;
    return mono ? V3_OK : V3_FALSE;
}

v3_result V3_API busArrangement(void *, int32_t direction, int32_t index,
                                v3_speaker_arrangement *arrangement) {
    if (direction != V3_OUTPUT || index != 0)
        return V3_INVALID_ARG;
    *arrangement = V3_SPEAKER_M;
    return V3_OK;
}

v3_result V3_API canProcessSampleSize(void *, int32_t size) {
    return size == V3_SAMPLE_32 ? V3_OK : V3_FALSE;
}

// The converter's delay, as the LV2 plugin's latency port tells it.
uint32_t V3_API latencySamples(void *self) {
    return ownerOf<Vst3Plugin>(self).latency;
}

// Main thread, while inactive: the engine at the host's rate (the converter
// opened, which allocates), and the host told when the latency changes.
v3_result V3_API setupProcessing(void *self, v3_process_setup *setup) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    if (!setup || p.active.load(std::memory_order_relaxed))
        return V3_INVALID_ARG; // the engine may be playing
    if (!startHostRateEngine(p.engine, setup->sample_rate)) {
        std::fprintf(stderr, "ondrilux: cannot play at %g frames/s (1000 to 1536000 are played)\n",
                     setup->sample_rate);
        p.rate = 0.0;
        return V3_INVALID_ARG;
    }
    p.rate = setup->sample_rate;
    const auto latency = static_cast<uint32_t>(std::lrint(hostLatencyFrames(p.engine)));
    if (latency != p.latency) {
        p.latency = latency;
        if (p.handler)
            v3_cpp_obj(p.handler)->restart_component(p.handler, V3_RESTART_LATENCY_CHANGED);
    }
    return V3_OK;
}

v3_result V3_API setProcessing(void *, v3_bool) {
    return V3_OK;
}

// Real-time from here on: no allocation, lock or system call.

// Control c at the host's normalized value, from the next frame on; NaN
// leaves it as it was.
void playControl(Vst3Plugin &p, const ControlPort &c, double normalized) {
    const double plain = controlPlain(c, normalized);
    if (std::isnan(plain))
        return;
    p.played[c.index].store(static_cast<float>(plain), std::memory_order_relaxed);
    applyHostControl(p.engine, c, controlPortValue(c, static_cast<float>(plain)));
}

// Program p selects operation p + 1, as in ondrilux-jack; the host, and
// through it the controller, see the operation change at its frame.
void playProgram(Vst3Plugin &p, double normalized, uint32_t frame, v3_param_changes **out) {
    if (std::isnan(normalized))
        return;
    const ControlPort &operation = *controlPort(kOperationPort);
    const auto program =
        static_cast<int32_t>(std::lrint(std::clamp(normalized, 0.0, 1.0) * (kProgramCount - 1)));
    const double value = controlNormalized(operation, operationOfProgram(program));
    playControl(p, operation, value);
    v3_param_id id = kOperationPort;
    int32_t index = 0;
    if (v3_param_value_queue **q =
            out ? v3_cpp_obj(out)->add_param_data(out, &id, &index) : nullptr)
        v3_cpp_obj(q)->add_point(q, static_cast<int32_t>(frame), value, &index);
}

void playChange(Vst3Plugin &p, const ChangeCursor &c, v3_param_changes **out) {
    if (const ControlPort *control = controlPort(c.id))
        playControl(p, *control, c.value);
    else if (c.id == kProgramParam)
        playProgram(p, c.value, c.frame, out);
    else if (const uint32_t message = midiParamMessage(c.id, c.value))
        playLiveMessage(p.engine.engine, message);
}

// VST3's type of a data event that holds a system-exclusive message
// (DataEvent::kMidiSysEx), F0 to F7 whole, as Ardour passes one on.
constexpr uint32_t kSystemExclusiveData = 0;

// A note-on of velocity 0 ends the note, as MIDI's does: Ardour sends a MIDI
// note-on of velocity 0 so. System exclusive (a tuning) goes to the note
// state whole.
void playEvent(Vst3Plugin &p, const v3_event &e) {
    if (e.bus_index != 0)
        return;
    if (e.type == V3_EVENT_NOTE_ON) {
        const HostNote note{e.note_on.channel, e.note_on.pitch, e.note_on.velocity};
        (note.velocity > 0.0 ? playHostNoteOn : playHostNoteOff)(p.engine, note);
    } else if (e.type == V3_EVENT_NOTE_OFF) {
        playHostNoteOff(p.engine, {e.note_off.channel, e.note_off.pitch, e.note_off.velocity});
    } else if (e.type == V3_EVENT_DATA && e.data.type == kSystemExclusiveData && e.data.bytes) {
        playHostSystemExclusive(p.engine, e.data.bytes, e.data.size);
    }
}

// The cursor's next point, its frame kept within [from, frames]: a point
// before one already played plays at once, one past the end at the end.
// False when the queue has no more.
bool nextPoint(ChangeCursor &c, uint32_t from, uint32_t frames) {
    int32_t offset = 0;
    if (c.next >= c.count ||
        v3_cpp_obj(c.queue)->get_point(c.queue, c.next, &offset, &c.value) != V3_OK)
        return false;
    c.frame = std::clamp(static_cast<uint32_t>(std::max(offset, 0)), from, frames);
    return true;
}

// The block's queues of changes, each at its first point; how many.
size_t takeChanges(Vst3Plugin &p, v3_param_changes **in, uint32_t frames) {
    const int32_t queues = in ? v3_cpp_obj(in)->get_param_count(in) : 0;
    size_t taken = 0;
    for (int32_t i = 0; i < queues && taken < kMaxChangeQueues; ++i) {
        ChangeCursor &c = p.changes[taken];
        c.queue = v3_cpp_obj(in)->get_param_data(in, i);
        if (!c.queue)
            continue;
        c.id = v3_cpp_obj(c.queue)->get_param_id(c.queue);
        c.count = v3_cpp_obj(c.queue)->get_point_count(c.queue);
        c.next = 0;
        if (nextPoint(c, 0, frames))
            ++taken;
    }
    return taken;
}

// The event at `index`, its frame kept within [from, frames] as a point's.
bool nextEvent(v3_event_list **events, uint32_t index, uint32_t count, uint32_t from,
               uint32_t frames, v3_event &e, uint32_t &frame) {
    if (index >= count ||
        v3_cpp_obj(events)->get_event(events, static_cast<int32_t>(index), &e) != V3_OK)
        return false;
    frame = std::clamp(static_cast<uint32_t>(std::max(e.sample_offset, 0)), from, frames);
    return true;
}

// Each change and event at its frame: render up to it, hand it over, go on.
// At one frame the changes come before the events, as a host's controls
// before its notes.
void playBlock(Vst3Plugin &p, const v3_process_data &data, float *out, uint32_t frames) {
    const size_t queues = takeChanges(p, data.input_params, frames);
    v3_event_list **events = data.input_events;
    const uint32_t eventCount = events ? v3_cpp_obj(events)->get_event_count(events) : 0;
    uint32_t done = 0, eventIndex = 0, eventFrame = 0;
    v3_event event{};
    bool eventDue = nextEvent(events, eventIndex, eventCount, done, frames, event, eventFrame);
    for (;;) {
        ChangeCursor *change = nullptr;
        for (size_t i = 0; i < queues; ++i)
            if (p.changes[i].next < p.changes[i].count &&
                (!change || p.changes[i].frame < change->frame))
                change = &p.changes[i];
        if (!change && !eventDue)
            break;
        const bool isChange = change && (!eventDue || change->frame <= eventFrame);
        const uint32_t at = isChange ? change->frame : eventFrame;
        renderHostSpan(p.engine, out, done, at);
        done = at;
        if (isChange) {
            playChange(p, *change, data.output_params);
            ++change->next;
            if (!nextPoint(*change, done, frames))
                change->next = change->count;
        } else {
            playEvent(p, event);
            eventDue = nextEvent(events, ++eventIndex, eventCount, done, frames, event, eventFrame);
        }
    }
    renderHostSpan(p.engine, out, done, frames);
}

// Where the plugin cannot play (not active, or no buffer of floats to play
// into), the controls still take the host's last values.
void keepChanges(Vst3Plugin &p, v3_param_changes **in) {
    const size_t queues = takeChanges(p, in, 0);
    for (size_t i = 0; i < queues; ++i) {
        ChangeCursor &c = p.changes[i];
        while (++c.next < c.count && nextPoint(c, 0, 0)) {
        }
        if (const ControlPort *control = controlPort(c.id); control && !std::isnan(c.value))
            p.played[c.id].store(static_cast<float>(controlPlain(*control, c.value)),
                                 std::memory_order_relaxed);
    }
}

v3_result V3_API process(void *self, v3_process_data *data) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    if (!data || data->nframes < 0)
        return V3_INVALID_ARG;
    const auto frames = static_cast<uint32_t>(data->nframes);
    v3_audio_bus_buffers *bus = data->num_output_buses > 0 ? data->outputs : nullptr;
    float *out = bus && bus->num_channels > 0 && bus->channel_buffers_32 &&
                         data->symbolic_sample_size == V3_SAMPLE_32
                     ? bus->channel_buffers_32[0]
                     : nullptr;
    if (!out || !p.active.load(std::memory_order_relaxed)) {
        if (out)
            std::fill(out, out + frames, 0.0f);
        keepChanges(p, data->input_params);
        return V3_OK;
    }
    // The tuning a state or the panel handed over; the controls as a state
    // or the last block left them; the envelope sliders act at the next
    // arming, as in the window.
    takeHostTuning(p.engine);
    for (const ControlPort &c : kControlPorts)
        applyHostControl(p.engine, c,
                         controlPortValue(c, p.played[c.index].load(std::memory_order_relaxed)));
    playBlock(p, *data, out, frames);
    endHostBlock(p.engine, frames);
    bus->channel_silence_bitset = 0;
    p.level.store(pictureLevel(p.engine), std::memory_order_relaxed);
    return V3_OK;
}

// An instrument: the host plays it as long as it sends it notes.
uint32_t V3_API tailSamples(void *) {
    return 0;
}

} // namespace

const v3_component_cpp kVst3Component = {{queryVst3Plugin, refVst3Plugin, unrefVst3Plugin},
                                         {initializeVst3Plugin, terminateVst3Plugin},
                                         {controllerClassId, setIoMode, busCount, busInfo,
                                          routingInfo, activateBus, setActive, setComponentState,
                                          getComponentState}};

const v3_audio_processor_cpp kVst3Processor = {
    {queryVst3Plugin, refVst3Plugin, unrefVst3Plugin},
    {setBusArrangements, busArrangement, canProcessSampleSize, latencySamples, setupProcessing,
     setProcessing, process, tailSamples}};
