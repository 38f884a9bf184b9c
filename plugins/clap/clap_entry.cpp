// The engine as a CLAP instrument: the plugin's descriptor, its life from
// creation to destruction, and the extensions it offers, each in a file of
// its own (process, parameters, state, ports, panel).
#include "plugins/clap/clap_plugin.h"

#include "version.h"

#include <clap/entry.h>
#include <clap/plugin-factory.h>
#include <clap/plugin-features.h>

#include <cstring>
#include <new>
#include <utility>

namespace {

// Hosts save songs with the plugin's id: it never changes.
constexpr const char *kPluginId = "org.ondrilux.ondrilux";

const char *kFeatures[] = {CLAP_PLUGIN_FEATURE_INSTRUMENT, CLAP_PLUGIN_FEATURE_SYNTHESIZER,
                           CLAP_PLUGIN_FEATURE_MONO, nullptr};

const clap_plugin_descriptor_t kDescriptor = {
    CLAP_VERSION_INIT,
    kPluginId,
    "Ondrilux",
    "Ondrilux maintainers",
    "https://ondrilux.org",
    "",
    "",
    kOndriluxVersion,
    "A monophonic synthesizer that shapes a sine wave with bit operations.",
    kFeatures};

// A fresh engine, as at the synth's start: silence, no note held over.
bool activate(const clap_plugin_t *plugin, double rate, uint32_t, uint32_t) {
    ClapPlugin &p = self(plugin);
    p.modulation = {}; // the host sends its modulation again
    // False for a rate no converter can serve.
    return startHostRateEngine(p.engine, rate);
}

void deactivate(const clap_plugin_t *plugin) {
    stopHostRateEngine(self(plugin).engine);
}

void reset(const clap_plugin_t *plugin) {
    resetHostRateEngine(self(plugin).engine);
}

const void *extension(const clap_plugin_t *, const char *id) {
    const std::pair<const char *, const void *> extensions[] = {
        {CLAP_EXT_AUDIO_PORTS, &kClapAudioPorts},
        {CLAP_EXT_NOTE_PORTS, &kClapNotePorts},
        {CLAP_EXT_PARAMS, &kClapParams},
        {CLAP_EXT_LATENCY, &kClapLatency},
        {CLAP_EXT_STATE, &kClapState},
#ifdef ONDRILUX_CLAP_PANEL
        {CLAP_EXT_GUI, &kClapGui},
        {CLAP_EXT_TIMER_SUPPORT, &kClapTimerSupport},
#endif
    };
    for (const auto &[name, ext] : extensions)
        if (id && std::strcmp(id, name) == 0)
            return ext;
    return nullptr;
}

// Whatever the host offers of `id`, or nullptr.
template <typename Ext> const Ext *hostExtension(const clap_host_t *host, const char *id) {
    return host->get_extension ? static_cast<const Ext *>(host->get_extension(host, id)) : nullptr;
}

bool init(const clap_plugin_t *plugin) {
    ClapPlugin &p = self(plugin);
    p.hostParams = hostExtension<clap_host_params_t>(p.host, CLAP_EXT_PARAMS);
    p.hostTimers = hostExtension<clap_host_timer_support_t>(p.host, CLAP_EXT_TIMER_SUPPORT);
    p.hostState = hostExtension<clap_host_state_t>(p.host, CLAP_EXT_STATE);
    for (const ControlPort &c : kControlPorts)
        p.values[c.index].store(c.range.initial, std::memory_order_relaxed);
    return true;
}

void destroy(const clap_plugin_t *plugin) {
    ClapPlugin *p = &self(plugin);
    p->closing = true; // a flush asked for now would come to a plugin gone
#ifdef ONDRILUX_CLAP_PANEL
    if (p->panelOpen)
        destroyClapPanel(plugin);
#endif
    stopHostRateEngine(p->engine);
    delete p;
}

bool startProcessing(const clap_plugin_t *) {
    return true;
}

void stopProcessing(const clap_plugin_t *) {}

void onMainThread(const clap_plugin_t *) {}

const clap_plugin_t *createPlugin(const clap_plugin_factory_t *, const clap_host_t *host,
                                  const char *id) {
    if (!host || !id || std::strcmp(id, kPluginId) != 0 ||
        !clap_version_is_compatible(host->clap_version))
        return nullptr;
    ClapPlugin *p = new (std::nothrow) ClapPlugin;
    if (!p)
        return nullptr;
    p->host = host;
    p->clap = {
        &kDescriptor,   p,     init,        destroy,   activate,    deactivate, startProcessing,
        stopProcessing, reset, processClap, extension, onMainThread};
    return &p->clap;
}

uint32_t pluginCount(const clap_plugin_factory_t *) {
    return 1;
}

const clap_plugin_descriptor_t *descriptor(const clap_plugin_factory_t *, uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}

const clap_plugin_factory_t kFactory = {pluginCount, descriptor, createPlugin};

bool entryInit(const char *) {
    return true;
}

void entryDeinit() {}

const void *factory(const char *id) {
    return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

} // namespace

const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, factory};
