// The CLAP plugin's panel: the LV2 plugin's, embedded in the host's X11
// window, driven by the host's timer. Every call comes from the main thread.
#include "plugins/clap/clap_plugin.h"

#include "plugins/panel/panel_layout.h"
#include "plugins/panel/plugin_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kPanelPeriodMs = 30;

void writeControl(void *handle, uint32_t port, float value) {
    ClapPlugin &p = *static_cast<ClapPlugin *>(handle);
    if (!controlPort(port))
        return;
    p.values[port].store(value, std::memory_order_relaxed);
    p.writes.fetch_or(1u << port, std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->request_flush(p.host);
}

void touchControl(void *handle, uint32_t port, bool grabbed) {
    ClapPlugin &p = *static_cast<ClapPlugin *>(handle);
    if (!controlPort(port))
        return;
    (grabbed ? p.gestureBegins : p.gestureEnds).fetch_or(1u << port, std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->request_flush(p.host);
}

bool isApiSupported(const clap_plugin_t *, const char *api, bool floating) {
    return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0 && !floating;
}

bool preferredApi(const clap_plugin_t *, const char **api, bool *floating) {
    *api = CLAP_WINDOW_API_X11;
    *floating = false;
    return true;
}

} // namespace

void destroyClapPanel(const clap_plugin_t *plugin) {
    ClapPlugin &p = self(plugin);
    destroyPluginView(p.view);
    p.view = nullptr;
    if (p.timer != CLAP_INVALID_ID)
        p.hostTimers->unregister_timer(p.host, p.timer);
    p.timer = CLAP_INVALID_ID;
    p.panelOpen = false;
    p.scale = 0.0;
}

namespace {

// Without the host's timer nothing would drive the panel: it is refused.
bool createPanel(const clap_plugin_t *plugin, const char *api, bool floating) {
    ClapPlugin &p = self(plugin);
    if (p.panelOpen || !isApiSupported(plugin, api, floating))
        return false;
    if (!p.hostTimers || !p.hostTimers->register_timer(p.host, kPanelPeriodMs, &p.timer)) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: the host has no timer for it "
                             "(clap.timer-support)\n");
        p.timer = CLAP_INVALID_ID;
        return false;
    }
    p.panelOpen = true;
    return true;
}

bool setScale(const clap_plugin_t *plugin, double scale) {
    ClapPlugin &p = self(plugin);
    if (p.view || !(scale >= kMinScale && scale <= kMaxScale))
        return false;
    p.scale = scale;
    return true;
}

bool panelSize(const clap_plugin_t *plugin, uint32_t *width, uint32_t *height) {
    const ClapPlugin &p = self(plugin);
    if (p.view) {
        pluginViewSize(p.view, *width, *height);
    } else { // the host's scale, or 1 until the desktop's is known
        const double scale = p.scale ? p.scale : 1.0;
        *width = static_cast<uint32_t>(std::lrint(kPanelWidth * scale));
        *height = static_cast<uint32_t>(std::lrint(kPanelHeight * scale));
    }
    return true;
}

bool canResize(const clap_plugin_t *) {
    return false;
}

bool resizeHints(const clap_plugin_t *, clap_gui_resize_hints_t *) {
    return false;
}

bool adjustSize(const clap_plugin_t *plugin, uint32_t *width, uint32_t *height) {
    return panelSize(plugin, width, height);
}

bool setSize(const clap_plugin_t *plugin, uint32_t width, uint32_t height) {
    uint32_t w = 0, h = 0;
    panelSize(plugin, &w, &h);
    return w == width && h == height;
}

// The controls as the host has them now, and the sound's level.
void showControls(ClapPlugin &p) {
    for (const ControlPort &c : kControlPorts)
        showPluginControl(p.view, c.index, static_cast<float>(controlPortValue(c, valueOf(p, c))));
    showPluginControl(p.view, kLevelPort, p.level.load(std::memory_order_relaxed));
}

bool setParent(const clap_plugin_t *plugin, const clap_window_t *window) {
    ClapPlugin &p = self(plugin);
    if (!p.panelOpen || p.view || !window || !isApiSupported(plugin, window->api, false))
        return false;
    uint32_t width = 0, height = 0;
    panelSize(plugin, &width, &height);
    const char *error = nullptr;
    p.view = createPluginView(window->x11, p.scale, {&p, writeControl, touchControl}, &error);
    if (!p.view) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", error);
        return false;
    }
    showControls(p);
    idlePluginView(p.view);
    // At the desktop's scale the panel may be larger than the host was told.
    uint32_t w = 0, h = 0;
    pluginViewSize(p.view, w, h);
    if ((w != width || h != height) && p.hostGui)
        p.hostGui->request_resize(p.host, w, h);
    return true;
}

bool setTransient(const clap_plugin_t *, const clap_window_t *) {
    return false;
}

void suggestTitle(const clap_plugin_t *, const char *) {}

// The host shows and hides its own window, the panel's parent.
bool showPanel(const clap_plugin_t *plugin) {
    return self(plugin).view != nullptr;
}

// The host's changes reach the panel, and the panel takes its window's events.
void onTimer(const clap_plugin_t *plugin, clap_id timer) {
    ClapPlugin &p = self(plugin);
    if (timer != p.timer || !p.view)
        return;
    showControls(p);
    if (!idlePluginView(p.view)) { // the host took the window away
        destroyPluginView(p.view);
        p.view = nullptr;
    }
}

} // namespace

const clap_plugin_gui_t kClapGui = {isApiSupported, preferredApi, createPanel, destroyClapPanel,
                                setScale,       panelSize,    canResize,   resizeHints,
                                adjustSize,     setSize,      setParent,   setTransient,
                                suggestTitle,   showPanel,    showPanel};
const clap_plugin_timer_support_t kClapTimerSupport = {onTimer};
