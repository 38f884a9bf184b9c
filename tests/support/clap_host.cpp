#include "tests/support/clap_host.h"

#include "midi/short_messages.h"

#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>

ClapInstance::ClapInstance(const std::string &path, const std::string &id, bool bareHost)
    : bareHost_(bareHost) {
    events_.reserve(1024);
    sent.reserve(1024);
    host_ = clap_host_t{CLAP_VERSION_INIT,
                        this,
                        "Ondrilux's tests",
                        "",
                        "",
                        "1",
                        nullptr,
                        [](const clap_host_t *) {},
                        [](const clap_host_t *) {},
                        [](const clap_host_t *) {}};
    host_.get_extension = [](const clap_host_t *host, const char *ext) -> const void * {
        const auto *self = static_cast<const ClapInstance *>(host->host_data);
        if (self->bareHost_)
            return nullptr;
        if (std::strcmp(ext, CLAP_EXT_TIMER_SUPPORT) == 0)
            return &self->hostTimers_;
        return std::strcmp(ext, CLAP_EXT_PARAMS) == 0 ? &self->hostParams_ : nullptr;
    };
    hostParams_ = {[](const clap_host_t *host, clap_param_rescan_flags) {
                       ++static_cast<ClapInstance *>(host->host_data)->rescans;
                   },
                   [](const clap_host_t *, clap_id, clap_param_clear_flags) {},
                   [](const clap_host_t *host) {
                       ++static_cast<ClapInstance *>(host->host_data)->flushRequests;
                   }};
    hostTimers_ = {[](const clap_host_t *host, uint32_t period, clap_id *timer) {
                       static_cast<ClapInstance *>(host->host_data)->timerPeriod = period;
                       *timer = 7;
                       return true;
                   },
                   [](const clap_host_t *host, clap_id timer) {
                       static_cast<ClapInstance *>(host->host_data)->timerPeriod = 0;
                       return timer == 7;
                   }};
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    entry_ = library_ ? static_cast<const clap_plugin_entry_t *>(dlsym(library_, "clap_entry"))
                      : nullptr;
    if (!entry_ || !entry_->init(path.c_str()))
        return;
    const auto *factory =
        static_cast<const clap_plugin_factory_t *>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
    plugin_ = factory ? factory->create_plugin(factory, &host_, id.c_str()) : nullptr;
    if (plugin_ && !plugin_->init(plugin_)) {
        plugin_->destroy(plugin_);
        plugin_ = nullptr;
    }
}

void ClapInstance::destroy() {
    if (plugin_) {
        deactivate();
        plugin_->destroy(plugin_);
    }
    plugin_ = nullptr;
}

ClapInstance::~ClapInstance() {
    destroy();
    // The library stays loaded, as most hosts keep it: unloaded, the memory
    // its static objects hold would look leaked to the leak checker.
    if (entry_)
        entry_->deinit();
}

bool ClapInstance::activate(double rate) {
    active_ = plugin_->activate(plugin_, rate, 1, 8192) && plugin_->start_processing(plugin_);
    return active_;
}

void ClapInstance::deactivate() {
    if (active_) {
        plugin_->stop_processing(plugin_);
        plugin_->deactivate(plugin_);
    }
    active_ = false;
}

void ClapInstance::addMidi(uint32_t frame, const uint8_t *bytes, size_t size) {
    if (size > 1 && bytes[0] == 0xF0 && bytes[size - 1] == 0xF7) { // one system-exclusive message
        Event e{};
        e.sysex = {{sizeof e.sysex, frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI_SYSEX, 0}, 0,
                   bytes, static_cast<uint32_t>(size)};
        return events_.push_back(e);
    }
    forEachShortMessage(bytes, size, [&](uint32_t message) {
        Event e{};
        e.midi.header = {sizeof e.midi, frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
        for (int i = 0; i < 3; ++i)
            e.midi.data[i] = static_cast<uint8_t>(message >> (8 * i));
        events_.push_back(e);
    });
}

void ClapInstance::addNote(uint32_t frame, uint16_t type, int16_t channel, int16_t key,
                           double velocity, int32_t noteId) {
    Event e{};
    const clap_event_header_t header = {sizeof e.note, frame, CLAP_CORE_EVENT_SPACE_ID, type, 0};
    e.note = {header, noteId, 0, channel, key, velocity};
    events_.push_back(e);
}

void ClapInstance::addNoteExpression(uint32_t frame, int16_t key, int32_t noteId, double value) {
    Event e{};
    const clap_event_header_t header = {sizeof e.expression, frame, CLAP_CORE_EVENT_SPACE_ID,
                                        CLAP_EVENT_NOTE_EXPRESSION, 0};
    e.expression = {header, CLAP_NOTE_EXPRESSION_TUNING, noteId, 0, -1, key, value};
    events_.push_back(e);
}

void ClapInstance::addParam(uint32_t frame, clap_id id, double value, uint16_t type, int16_t key,
                            int32_t noteId) {
    Event e{};
    const clap_event_header_t header = {sizeof e.param, frame, CLAP_CORE_EVENT_SPACE_ID, type, 0};
    e.param = {header, id, nullptr, noteId, -1, -1, key, value};
    events_.push_back(e);
}

namespace {

// The streams the plugin saves its state to and loads it from.
int64_t writeTo(const clap_ostream_t *stream, const void *buffer, uint64_t size) {
    static_cast<std::string *>(stream->ctx)->append(static_cast<const char *>(buffer), size);
    return static_cast<int64_t>(size);
}

struct Reading {
    const std::string &text;
    size_t piece, position = 0;
};

int64_t readFrom(const clap_istream_t *stream, void *buffer, uint64_t size) {
    Reading &r = *static_cast<Reading *>(stream->ctx);
    const size_t n = std::min({static_cast<size_t>(size), r.piece, r.text.size() - r.position});
    std::memcpy(buffer, r.text.data() + r.position, n);
    r.position += n;
    return static_cast<int64_t>(n);
}

} // namespace

// What the plugin sends: its parameter values and gestures kept, within the
// room reserved.
bool keep(const clap_output_events_t *list, const clap_event_header_t *e) {
    auto &sent = *static_cast<std::vector<ClapInstance::Sent> *>(list->ctx);
    if (sent.size() == sent.capacity())
        return false;
    if (e->type == CLAP_EVENT_PARAM_VALUE) {
        const auto *v = reinterpret_cast<const clap_event_param_value_t *>(e);
        sent.push_back({e->type, v->param_id, v->value});
    } else if (e->type == CLAP_EVENT_PARAM_GESTURE_BEGIN ||
               e->type == CLAP_EVENT_PARAM_GESTURE_END) {
        sent.push_back(
            {e->type, reinterpret_cast<const clap_event_param_gesture_t *>(e)->param_id, 0});
    }
    return true;
}

clap_input_events_t ClapInstance::inputEvents() {
    return {&events_,
            [](const clap_input_events_t *list) {
                return static_cast<uint32_t>(static_cast<std::vector<Event> *>(list->ctx)->size());
            },
            [](const clap_input_events_t *list, uint32_t i) -> const clap_event_header_t * {
                return &(*static_cast<std::vector<Event> *>(list->ctx))[i].header;
            }};
}

clap_process_status ClapInstance::process(float *out, uint32_t frames) {
    const clap_input_events_t in = inputEvents();
    const clap_output_events_t sending = {&sent, keep};
    float *channels[] = {out};
    clap_audio_buffer_t output = {channels, nullptr, 1, 0, 0};
    const clap_process_t p = {-1, frames, nullptr, nullptr, &output, 0, 1, &in, &sending};
    return plugin_->process(plugin_, &p);
}

double ClapInstance::param(clap_id id) const {
    const auto *params = extension<clap_plugin_params_t>(CLAP_EXT_PARAMS);
    double value = NAN;
    return params && params->get_value(plugin_, id, &value) ? value : NAN;
}

void ClapInstance::flush() {
    const clap_input_events_t in = inputEvents();
    const clap_output_events_t sending = {&sent, keep};
    extension<clap_plugin_params_t>(CLAP_EXT_PARAMS)->flush(plugin_, &in, &sending);
}

void ClapInstance::tick() {
    if (const auto *timers = extension<clap_plugin_timer_support_t>(CLAP_EXT_TIMER_SUPPORT))
        timers->on_timer(plugin_, 7);
}

std::string ClapInstance::saveState() const {
    std::string text;
    const clap_ostream_t stream = {&text, writeTo};
    return extension<clap_plugin_state_t>(CLAP_EXT_STATE)->save(plugin_, &stream) ? text : "";
}

bool ClapInstance::loadState(const std::string &state, size_t piece) const {
    Reading reading{state, piece};
    const clap_istream_t stream = {&reading, readFrom};
    return extension<clap_plugin_state_t>(CLAP_EXT_STATE)->load(plugin_, &stream);
}
