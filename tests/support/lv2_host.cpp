#include "tests/support/lv2_host.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

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
    : world_(worldFor(lv2Path)), sequence_(kSequenceBytes / sizeof(uint64_t)) {
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

    const LV2_Feature *features[] = {&world_->mapFeature, nullptr};
    instance_ = lilv_plugin_instantiate(plugin, rate, features);
    if (!instance_)
        return;
    LilvNode *atomPort = lilv_new_uri(w, LV2_ATOM__AtomPort);
    for (uint32_t i = 0; i < ports; ++i) {
        const LilvPort *port = lilv_plugin_get_port_by_index(plugin, i);
        if (lilv_port_is_a(plugin, port, atomPort))
            lilv_instance_connect_port(instance_, i, sequence_.data());
        else if (i == spareOutPort_)
            lilv_instance_connect_port(instance_, i, spareOut_.data());
        else if (i != outPort_)
            lilv_instance_connect_port(instance_, i, &controls_[i]);
    }
    lilv_node_free(atomPort);
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
        uint8_t body[256];
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
    lilv_instance_run(instance_, frames);
}
