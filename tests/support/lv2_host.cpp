#include "tests/support/lv2_host.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cmath>
#include <cstring>
#include <mutex>

// One lilv world per LV2 path, with its URID map, shared by the instances
// made from it (loading a world reads every bundle on the path).
struct Lv2World {
    LilvWorld *world = nullptr;
    std::vector<std::string> uris; // URID i + 1 is uris[i]
    std::mutex lock;               // instances may be made on several threads
    LV2_URID_Map map{this, &Lv2World::mapUri};
    LV2_Feature mapFeature{LV2_URID__map, &map};

    explicit Lv2World(const std::string &lv2Path) {
        world = lilv_world_new();
        LilvNode *path = lilv_new_string(world, lv2Path.c_str());
        lilv_world_set_option(world, LILV_OPTION_LV2_PATH, path);
        lilv_node_free(path);
        lilv_world_load_all(world);
    }
    ~Lv2World() { lilv_world_free(world); }

    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char *uri) {
        Lv2World &w = *static_cast<Lv2World *>(handle);
        std::lock_guard<std::mutex> hold(w.lock);
        for (size_t i = 0; i < w.uris.size(); ++i)
            if (w.uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        w.uris.push_back(uri);
        return static_cast<LV2_URID>(w.uris.size());
    }
};

// The host's worker and the state's paths, for one instance.
struct Lv2Instance::Lv2Features {
    static LV2_Worker_Status schedule(LV2_Worker_Schedule_Handle h, uint32_t size,
                                      const void *data) {
        auto &p = *static_cast<Lv2Instance *>(h);
        if (!p.workAtOnce)
            return push(p.requests_, size, data);
        return p.worker()->work(lilv_instance_get_handle(p.instance_), respond, h, size, data);
    }
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void *data) {
        return push(static_cast<Lv2Instance *>(h)->answers_, size, data);
    }
    // Each queue's record: its size, then its bytes; within the room made.
    static LV2_Worker_Status push(std::vector<uint8_t> &queue, uint32_t size, const void *data) {
        if (queue.size() + sizeof size + size > queue.capacity())
            return LV2_WORKER_ERR_NO_SPACE;
        const auto *bytes = static_cast<const uint8_t *>(data);
        const auto *sizeBytes = reinterpret_cast<const uint8_t *>(&size);
        queue.insert(queue.end(), sizeBytes, sizeBytes + sizeof size);
        queue.insert(queue.end(), bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    template <typename Take> static void drain(std::vector<uint8_t> &queue, Take &&take) {
        for (size_t at = 0; at + sizeof(uint32_t) <= queue.size();) {
            uint32_t size;
            std::memcpy(&size, queue.data() + at, sizeof size);
            take(size, queue.data() + at + sizeof size);
            at += sizeof size + size;
        }
        queue.clear();
    }
    // Paths as they are: the state keeps them, the files may have moved.
    static char *samePath(LV2_State_Map_Path_Handle, const char *path) { return strdup(path); }

    LV2_Worker_Schedule worker;
    LV2_Feature workerFeature{LV2_WORKER__schedule, &worker};
    LV2_State_Map_Path mapPath{nullptr, samePath, samePath};
    LV2_Feature mapPathFeature{LV2_STATE__mapPath, &mapPath};
};

namespace {

constexpr size_t kSequenceBytes = 1 << 16;

std::shared_ptr<Lv2World> worldFor(const std::string &lv2Path) {
    // Kept for the process's life: hosts load their world once.
    static std::mutex lock;
    static std::vector<std::pair<std::string, std::shared_ptr<Lv2World>>> worlds;
    std::lock_guard<std::mutex> hold(lock);
    for (const auto &[path, w] : worlds)
        if (path == lv2Path)
            return w;
    worlds.emplace_back(lv2Path, std::make_shared<Lv2World>(lv2Path));
    return worlds.back().second;
}

LV2_Atom_Sequence *asSequence(std::vector<uint64_t> &buffer) {
    return reinterpret_cast<LV2_Atom_Sequence *>(buffer.data());
}

} // namespace

Lv2Instance::Lv2Instance(const std::string &lv2Path, const std::string &uri, double rate)
    : world_(worldFor(lv2Path)), sequence_(kSequenceBytes / sizeof(uint64_t)),
      notify_(kSequenceBytes / sizeof(uint64_t)), features_(std::make_shared<Lv2Features>()) {
    requests_.reserve(kSequenceBytes);
    answers_.reserve(kSequenceBytes);
    features_->worker = {this, Lv2Features::schedule};
    LilvWorld *w = world_->world;
    LilvNode *uriNode = lilv_new_uri(w, uri.c_str());
    const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(w), uriNode);
    lilv_node_free(uriNode);
    if (!plugin)
        return;

    const uint32_t ports = lilv_plugin_get_num_ports(plugin);
    symbols_.resize(ports);
    controls_.assign(ports, 0.0f);
    std::vector<float> defaults(ports, NAN);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    LilvNode *audio = lilv_new_uri(w, LILV_URI_AUDIO_PORT);
    LilvNode *control = lilv_new_uri(w, LILV_URI_CONTROL_PORT);
    LilvNode *output = lilv_new_uri(w, LILV_URI_OUTPUT_PORT);
    for (uint32_t i = 0; i < ports; ++i) {
        const LilvPort *port = lilv_plugin_get_port_by_index(plugin, i);
        symbols_[i] = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        if (lilv_port_is_a(plugin, port, control) && !std::isnan(defaults[i]))
            controls_[i] = defaults[i];
        if (lilv_port_is_a(plugin, port, audio) && lilv_port_is_a(plugin, port, output))
            (outPort_ == UINT32_MAX ? outPort_ : spareOutPort_) = i;
    }
    lilv_node_free(audio);
    lilv_node_free(control);
    lilv_node_free(output);

    const LV2_Feature *features[] = {&world_->mapFeature, &features_->workerFeature, nullptr};
    instance_ = lilv_plugin_instantiate(plugin, rate, features);
    if (!instance_)
        return;
    LilvNode *atomPort = lilv_new_uri(w, LV2_ATOM__AtomPort);
    output = lilv_new_uri(w, LILV_URI_OUTPUT_PORT);
    for (uint32_t i = 0; i < ports; ++i) {
        const LilvPort *port = lilv_plugin_get_port_by_index(plugin, i);
        if (lilv_port_is_a(plugin, port, atomPort))
            lilv_instance_connect_port(instance_, i,
                                       lilv_port_is_a(plugin, port, output) ? notify_.data()
                                                                            : sequence_.data());
        else if (i == spareOutPort_)
            lilv_instance_connect_port(instance_, i, spareOut_.data());
        else if (i != outPort_)
            lilv_instance_connect_port(instance_, i, &controls_[i]);
    }
    lilv_node_free(atomPort);
    lilv_node_free(output);
    LV2_Atom_Sequence *seq = asSequence(sequence_);
    seq->atom.type = Lv2World::mapUri(world_.get(), LV2_ATOM__Sequence);
    seq->body.unit = 0;
    seq->body.pad = 0;
    midiType_ = Lv2World::mapUri(world_.get(), LV2_MIDI__MidiEvent);
    otherType_ = Lv2World::mapUri(world_.get(), LV2_ATOM__Chunk);
    clearEvents();
}

Lv2Instance::~Lv2Instance() {
    if (instance_)
        lilv_instance_free(instance_);
}

bool Lv2Instance::hasPort(const std::string &symbol) const {
    for (const std::string &s : symbols_)
        if (s == symbol)
            return true;
    return false;
}

void Lv2Instance::disconnect(const std::string &symbol) {
    for (size_t i = 0; i < symbols_.size(); ++i)
        if (symbols_[i] == symbol && instance_)
            lilv_instance_connect_port(instance_, static_cast<uint32_t>(i), nullptr);
}

float &Lv2Instance::control(const std::string &symbol) {
    for (size_t i = 0; i < symbols_.size(); ++i)
        if (symbols_[i] == symbol)
            return controls_[i];
    static float none = 0.0f;
    return none;
}

void Lv2Instance::activate() {
    lilv_instance_activate(instance_);
}

void Lv2Instance::deactivate() {
    lilv_instance_deactivate(instance_);
}

void Lv2Instance::clearEvents() {
    LV2_Atom_Sequence *seq = asSequence(sequence_);
    lv2_atom_sequence_clear(seq);
}

bool Lv2Instance::addEvent(int64_t frame, const uint8_t *bytes, uint32_t size, uint32_t type) {
    struct {
        LV2_Atom_Event head;
        uint8_t body[1024];
    } event;
    if (size > sizeof event.body)
        return false;
    event.head.time.frames = frame;
    event.head.body.size = size;
    event.head.body.type = type ? type : midiType_;
    if (size)
        std::memcpy(event.body, bytes, size);
    return lv2_atom_sequence_append_event(asSequence(sequence_), kSequenceBytes - sizeof(LV2_Atom),
                                          &event.head) != nullptr;
}

void Lv2Instance::run(float *out, uint32_t frames) {
    lilv_instance_connect_port(instance_, outPort_, out);
    LV2_Atom_Sequence *notify = asSequence(notify_); // its room, as hosts tell it
    notify->atom = {static_cast<uint32_t>(kSequenceBytes - sizeof(LV2_Atom)), otherType_};
    lilv_instance_run(instance_, frames);
    if (const LV2_Worker_Interface *w = worker()) {
        Lv2Features::drain(answers_, [&](uint32_t size, const uint8_t *answer) {
            w->work_response(lilv_instance_get_handle(instance_), size, answer);
        });
        if (w->end_run)
            w->end_run(lilv_instance_get_handle(instance_));
    }
}

const LV2_Worker_Interface *Lv2Instance::worker() const {
    return static_cast<const LV2_Worker_Interface *>(
        lilv_instance_get_extension_data(instance_, LV2_WORKER__interface));
}

void Lv2Instance::doWork() {
    Lv2Features::drain(requests_, [&](uint32_t size, const uint8_t *request) {
        worker()->work(lilv_instance_get_handle(instance_), Lv2Features::respond, this, size,
                       request);
    });
}

bool Lv2Instance::addPatchSet(int64_t frame, const char *key, const std::string &path) {
    const auto map = [this](const char *uri) { return Lv2World::mapUri(world_.get(), uri); };
    uint8_t buffer[1024];
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &world_->map);
    lv2_atom_forge_set_buffer(&forge, buffer, sizeof buffer);
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_object(&forge, &object, 0, map(LV2_PATCH__Set));
    lv2_atom_forge_key(&forge, map(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, map(key));
    lv2_atom_forge_key(&forge, map(LV2_PATCH__value));
    lv2_atom_forge_path(&forge, path.c_str(), static_cast<uint32_t>(path.size()));
    lv2_atom_forge_pop(&forge, &object);
    const auto *atom = reinterpret_cast<const LV2_Atom *>(buffer);
    return addEvent(frame, static_cast<const uint8_t *>(LV2_ATOM_BODY_CONST(atom)), atom->size,
                    atom->type);
}

std::string Lv2Instance::notified(const char *key) const {
    const auto map = [this](const char *uri) { return Lv2World::mapUri(world_.get(), uri); };
    std::string text;
    const auto *notify = reinterpret_cast<const LV2_Atom_Sequence *>(notify_.data());
    LV2_ATOM_SEQUENCE_FOREACH(notify, ev) {
        const LV2_Atom *property = nullptr, *value = nullptr;
        const auto *object = reinterpret_cast<const LV2_Atom_Object *>(&ev->body);
        if (object->body.otype == map(LV2_PATCH__Set))
            lv2_atom_object_get(object, map(LV2_PATCH__property), &property, map(LV2_PATCH__value),
                                &value, 0);
        if (property && value &&
            reinterpret_cast<const LV2_Atom_URID *>(property)->body == map(key))
            text = static_cast<const char *>(LV2_ATOM_BODY_CONST(value));
    }
    return text;
}

std::map<std::string, Lv2Instance::Saved> Lv2Instance::saveState() const {
    std::pair<const Lv2Instance *, std::map<std::string, Saved>> saved{this, {}};
    const auto store = [](LV2_State_Handle h, uint32_t key, const void *value, size_t size,
                          uint32_t type, uint32_t) {
        auto &[self, state] = *static_cast<decltype(saved) *>(h);
        std::lock_guard<std::mutex> hold(self->world_->lock);
        const auto &uris = self->world_->uris;
        state[uris.at(key - 1)] = {uris.at(type - 1),
                                   std::string(static_cast<const char *>(value), size)};
        return LV2_STATE_SUCCESS;
    };
    const LV2_Feature *features[] = {&features_->mapPathFeature, nullptr};
    static_cast<const LV2_State_Interface *>(
        lilv_instance_get_extension_data(instance_, LV2_STATE__interface))
        ->save(lilv_instance_get_handle(instance_), store, &saved, 0, features);
    return saved.second;
}

void Lv2Instance::restoreState(const std::map<std::string, Saved> &state) {
    std::pair<Lv2Instance *, const std::map<std::string, Saved> *> from{this, &state};
    const auto retrieve = [](LV2_State_Handle h, uint32_t key, size_t *size, uint32_t *type,
                             uint32_t *flags) -> const void * {
        auto &[self, kept] = *static_cast<decltype(from) *>(h);
        std::string uri;
        {
            std::lock_guard<std::mutex> hold(self->world_->lock);
            uri = self->world_->uris.at(key - 1);
        }
        const auto found = kept->find(uri);
        if (found == kept->end())
            return nullptr;
        *size = found->second.value.size();
        *type = Lv2World::mapUri(self->world_.get(), found->second.type.c_str());
        *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        return found->second.value.data();
    };
    const LV2_Feature *features[] = {&features_->mapPathFeature, nullptr};
    static_cast<const LV2_State_Interface *>(
        lilv_instance_get_extension_data(instance_, LV2_STATE__interface))
        ->restore(lilv_instance_get_handle(instance_), retrieve, &from, 0, features);
}
