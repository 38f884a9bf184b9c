#include "tests/support/vst3_host.h"

#include "midi/short_messages.h"

#include <travesty/factory.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

// One block's parameter changes, their room made once: no allocation while
// processing.
struct Vst3Instance::Changes {
    struct Queue {
        const void *functions;
        v3_param_id id;
        std::vector<std::pair<int32_t, double>> points;
    };
    const void *functions;
    std::vector<Queue> queues;
    int32_t used = 0;
    Queue *add(v3_param_id id, int32_t &index) {
        for (index = 0; index < used && queues[index].id != id;)
            ++index;
        if (index == used && used < static_cast<int32_t>(queues.size()))
            queues[used++].points.clear(), queues[index].id = id;
        return index < used ? &queues[index] : nullptr;
    }
};

namespace {

using Queue = Vst3Instance::Changes::Queue;

struct Stream {
    const void *functions;
    std::string &text;
    size_t piece, position = 0;
};

template <typename T = Vst3Instance::Object> T &as(void *self) {
    return *static_cast<T *>(self);
}

v3_result record(void *self, char kind, uint64_t id, double value = 0) {
    as(self).host->calls.push_back({kind, id, value});
    as(self).host->kinds += kind;
    return V3_OK;
}

// A handler the plugin gives the run loop, kept (null: taken back).
template <typename H>
v3_result keep(void *self, void **Vst3Instance::*slot, H **h, char kind, uint64_t value) {
    as(self).host->*slot = reinterpret_cast<void **>(h);
    return record(self, kind, value);
}

v3_result V3_API queryOwn(void *self, const v3_tuid iid, void **object) {
    *object = v3_tuid_match(iid, v3_funknown_iid) ? self : nullptr;
    return *object ? V3_OK : V3_NO_INTERFACE;
}

// The host owns its objects: counting references is moot.
uint32_t V3_API held(void *) {
    return 1;
}

struct HandlerFunctions : v3_funknown {
    v3_component_handler handler;
};
struct StreamFunctions : v3_funknown {
    v3_bstream stream;
};

const HandlerFunctions kHandler = {
    {queryOwn, held, held},
    {[](void *self, v3_param_id id) { return record(self, 'b', id); },
     [](void *self, v3_param_id id, double value) { return record(self, 'p', id, value); },
     [](void *self, v3_param_id id) { return record(self, 'e', id); },
     [](void *self, int32_t flags) { return record(self, 'r', static_cast<uint64_t>(flags)); }}};

const v3_event_list_cpp kEvents = {
    {queryOwn, held, held},
    {[](void *self) { return static_cast<uint32_t>(as(self).host->events.size()); },
     [](void *self, int32_t i, v3_event *e) {
         *e = as(self).host->events.at(static_cast<size_t>(i));
         return v3_result{V3_OK};
     },
     [](void *, v3_event *) { return v3_result{V3_NOT_IMPLEMENTED}; }}};

const v3_param_value_queue_cpp kQueue = {
    {queryOwn, held, held},
    {[](void *self) { return as<Queue>(self).id; },
     [](void *self) { return static_cast<int32_t>(as<Queue>(self).points.size()); },
     [](void *self, int32_t i, int32_t *offset, double *value) {
         std::tie(*offset, *value) = as<Queue>(self).points.at(static_cast<size_t>(i));
         return v3_result{V3_OK};
     },
     [](void *self, int32_t offset, double value, int32_t *index) {
         auto &points = as<Queue>(self).points;
         *index = static_cast<int32_t>(points.size());
         points.emplace_back(offset, value);
         return v3_result{V3_OK};
     }}};

const v3_param_changes_cpp kChanges = {
    {queryOwn, held, held},
    {[](void *self) { return as<Vst3Instance::Changes>(self).used; },
     [](void *self, int32_t i) {
         return reinterpret_cast<v3_param_value_queue **>(
             &as<Vst3Instance::Changes>(self).queues.at(static_cast<size_t>(i)));
     },
     [](void *self, v3_param_id *id, int32_t *index) {
         return reinterpret_cast<v3_param_value_queue **>(
             as<Vst3Instance::Changes>(self).add(*id, *index));
     }}};

const StreamFunctions kStream = {
    {queryOwn, held, held},
    {[](void *self, void *buffer, int32_t size, int32_t *read) {
         Stream &s = as<Stream>(self);
         const size_t n =
             std::min({static_cast<size_t>(size), s.piece, s.text.size() - s.position});
         std::memcpy(buffer, s.text.data() + s.position, n);
         s.position += n;
         *read = static_cast<int32_t>(n);
         return v3_result{V3_OK};
     },
     [](void *self, void *buffer, int32_t size, int32_t *written) {
         as<Stream>(self).text.append(static_cast<const char *>(buffer), static_cast<size_t>(size));
         *written = size;
         return v3_result{V3_OK};
     },
     [](void *, int64_t, int32_t, int64_t *) { return v3_result{V3_NOT_IMPLEMENTED}; },
     [](void *, int64_t *) { return v3_result{V3_NOT_IMPLEMENTED}; }}};

// The frame hands the plugin its run loop, the object after it.
const v3_plugin_frame_cpp kFrame = {
    {[](void *self, const v3_tuid iid, void **object) {
         *object = v3_tuid_match(iid, v3_run_loop_iid) ? &as(self) + 1 : nullptr;
         return *object ? v3_result{V3_OK} : queryOwn(self, iid, object);
     },
     held, held},
    {[](void *, v3_plugin_view **, v3_view_rect *) { return v3_result{V3_OK}; }}};

const v3_run_loop_cpp kRunLoop = {
    {queryOwn, held, held},
    {[](void *s, v3_event_handler **h, int fd) { return keep(s, &Vst3Instance::fd, h, 'F', fd); },
     [](void *s, v3_event_handler **) { return keep<void>(s, &Vst3Instance::fd, nullptr, 'f', 0); },
     [](void *s, v3_timer_handler **h, uint64_t ms) {
         return keep(s, &Vst3Instance::timer, h, 'T', ms);
     },
     [](void *s, v3_timer_handler **) {
         return keep<void>(s, &Vst3Instance::timer, nullptr, 't', 0);
     }}};

template <typename T> void unref(T **object) {
    if (object)
        static_cast<v3_funknown *>(static_cast<void *>(*object))->unref(object);
}

} // namespace

Vst3Instance::Vst3Instance(const std::string &path)
    : objects_{{&kHandler, this}, {&kFrame, this}, {&kRunLoop, this}, {&kEvents, this}},
      in_(new Changes{&kChanges, std::vector<Queue>(64, Queue{&kQueue, 0, {}})}),
      out_(new Changes{*in_}) {
    frame = reinterpret_cast<v3_plugin_frame **>(&objects_[1]);
    events.reserve(1024), sent.reserve(1024), calls.reserve(1024);
    for (Changes *changes : {in_.get(), out_.get()})
        for (Queue &q : changes->queues)
            q.points.reserve(1024);
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = reinterpret_cast<bool (*)(void *)>(dlsym(library, "ModuleEntry"));
    auto factoryOf =
        reinterpret_cast<v3_plugin_factory **(*)()>(dlsym(library, "GetPluginFactory"));
    v3_plugin_factory **factory = entry && factoryOf && entry(library) ? factoryOf() : nullptr;
    v3_class_info info{};
    if (!factory || v3_cpp_obj(factory)->get_class_info(factory, 0, &info) != V3_OK ||
        v3_cpp_obj(factory)->create_instance(factory, info.class_id, v3_component_iid,
                                             reinterpret_cast<void **>(&component)) != V3_OK)
        return;
    v3_cpp_obj_initialize(component, nullptr);
    v3_cpp_obj_query_interface(component, v3_audio_processor_iid, &processor);
    if (v3_cpp_obj_query_interface(component, v3_edit_controller_iid, &controller) != V3_OK)
        return;
    v3_cpp_obj_initialize(controller, nullptr);
    v3_cpp_obj_query_interface(controller, v3_midi_mapping_iid, &mapping_);
    auto **handler = reinterpret_cast<v3_component_handler **>(&objects_[0]);
    v3_cpp_obj(controller)->set_component_handler(controller, handler);
}

Vst3Instance::~Vst3Instance() {
    if (active_) {
        v3_cpp_obj(processor)->set_processing(processor, false);
        v3_cpp_obj(component)->set_active(component, false);
    }
    if (controller)
        v3_cpp_obj_terminate(controller), v3_cpp_obj_terminate(component);
    unref(mapping_), unref(controller), unref(processor), unref(component);
    // The library stays loaded, as most hosts keep it: unloaded, the memory
    // its static objects hold would look leaked to the leak checker.
}

bool Vst3Instance::activate(double rate) {
    v3_process_setup setup{V3_REALTIME, V3_SAMPLE_32, 8192, rate};
    active_ = v3_cpp_obj(processor)->setup_processing(processor, &setup) == V3_OK &&
              v3_cpp_obj(component)->set_active(component, true) == V3_OK &&
              v3_cpp_obj(processor)->set_processing(processor, true) == V3_OK;
    return active_;
}

void Vst3Instance::clearEvents() {
    events.clear();
    in_->used = 0;
}

void Vst3Instance::addParam(uint32_t at, v3_param_id id, double normalized) {
    int32_t index = 0;
    if (Queue *q = in_->add(id, index))
        q->points.emplace_back(static_cast<int32_t>(at), normalized);
}

// As Ardour passes MIDI on, its values as floats (Program Change is for the
// test to pass as the program parameter); a system-exclusive message whole,
// as a data event of its bytes (which last the block).
void Vst3Instance::addMidi(uint32_t at, const uint8_t *bytes, size_t size) {
    if (size > 1 && bytes[0] == 0xF0 && bytes[size - 1] == 0xF7) { // one system-exclusive message
        v3_event e{};
        e.sample_offset = static_cast<int32_t>(at);
        e.type = V3_EVENT_DATA;
        e.data = {static_cast<uint32_t>(size), 0, bytes};
        return events.push_back(e);
    }
    forEachShortMessage(bytes, size, [&](uint32_t m) {
        const auto channel = static_cast<int16_t>(m & 0x0F), kind = static_cast<int16_t>(m & 0xF0);
        const auto data1 = static_cast<int16_t>(m >> 8 & 0x7F),
                   data2 = static_cast<int16_t>(m >> 16);
        v3_event e{};
        e.sample_offset = static_cast<int32_t>(at);
        e.type = kind == 0x90 ? V3_EVENT_NOTE_ON : V3_EVENT_NOTE_OFF;
        if (kind == 0x90)
            e.note_on = {channel, data1, 0.0f, data2 / 127.f, 0, -1};
        else
            e.note_off = {channel, data1, data2 / 127.f, -1, 0.0f};
        v3_param_id id = 0;
        if (kind == 0x80 || kind == 0x90)
            events.push_back(e);
        else if ((kind == 0xB0 || kind == 0xE0) && mapping_ &&
                 v3_cpp_obj(mapping_)->get_midi_controller_assignment(
                     mapping_, 0, channel, kind == 0xB0 ? data1 : 129, &id) == V3_OK)
            addParam(at, id, kind == 0xB0 ? data2 / 127.f : (data2 << 7 | data1) / 16383.f);
    });
}

v3_result Vst3Instance::process(float *out, uint32_t frames) {
    float *channels[] = {out};
    v3_audio_bus_buffers bus{};
    bus.num_channels = out ? 1 : 0;
    bus.channel_buffers_32 = out ? channels : nullptr;
    v3_process_data data{};
    data.nframes = static_cast<int32_t>(frames);
    data.num_output_buses = 1;
    data.outputs = &bus;
    data.input_params = reinterpret_cast<v3_param_changes **>(in_.get());
    data.output_params = reinterpret_cast<v3_param_changes **>(out_.get());
    data.input_events = reinterpret_cast<v3_event_list **>(&objects_[3]);
    out_->used = 0;
    const v3_result result = v3_cpp_obj(processor)->process(processor, &data);
    sent.clear();
    for (int32_t q = 0; q < out_->used; ++q)
        for (const auto &[offset, value] : out_->queues[static_cast<size_t>(q)].points)
            sent.emplace_back(out_->queues[static_cast<size_t>(q)].id, value);
    return result;
}

std::string Vst3Instance::saveState() const {
    std::string text;
    Stream stream{&kStream, text, 0};
    auto **s = reinterpret_cast<v3_bstream **>(&stream);
    return v3_cpp_obj(component)->get_state(component, s) == V3_OK ? text : "";
}

bool Vst3Instance::loadState(const std::string &state, size_t piece) const {
    std::string text = state;
    Stream one{&kStream, text, piece}, other{&kStream, text, piece};
    auto **toComponent = reinterpret_cast<v3_bstream **>(&one);
    auto **toController = reinterpret_cast<v3_bstream **>(&other);
    return v3_cpp_obj(component)->set_state(component, toComponent) == V3_OK &&
           v3_cpp_obj(controller)->set_component_state(controller, toController) == V3_OK;
}

double Vst3Instance::plain(v3_param_id id) const {
    auto *c = v3_cpp_obj(controller);
    return c->normalised_parameter_to_plain(controller, id,
                                            c->get_parameter_normalised(controller, id));
}

void Vst3Instance::tick() {
    if (timer)
        static_cast<const v3_timer_handler_cpp *>(*timer)->timer.on_timer(timer);
    if (fd)
        static_cast<const v3_event_handler_cpp *>(*fd)->handler.on_fd_is_set(fd, 0);
}
