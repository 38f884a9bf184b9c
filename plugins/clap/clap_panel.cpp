// The CLAP plugin's panel: the LV2 plugin's, embedded in the host's X11
// window, driven by the host's timer; the tuning's files it chooses read
// here. Every call comes from the main thread.
#include "plugins/clap/clap_plugin.h"

#include "plugins/panel/panel_layout.h"
#include "plugins/panel/plugin_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kPanelPeriodMs = 30;

// The host is asked to flush the panel's acts, except as the plugin goes: a
// flush asked for from within destroy would come to a plugin gone.
void askForFlush(const ClapPlugin &p) {
    if (p.hostParams && !p.closing)
        p.hostParams->request_flush(p.host);
}

void writeControl(void *handle, uint32_t port, float value) {
    ClapPlugin &p = *static_cast<ClapPlugin *>(handle);
    if (!controlPort(port))
        return;
    p.values[port].store(value, std::memory_order_relaxed);
    p.gestures.value(port, value);
    askForFlush(p);
}

void touchControl(void *handle, uint32_t port, bool grabbed) {
    ClapPlugin &p = *static_cast<ClapPlugin *>(handle);
    if (!controlPort(port))
        return;
    if (grabbed)
        p.gestures.begin(port);
    else
        p.gestures.end(port);
    askForFlush(p);
}

// The files the player chose, read here on the main thread: in force from
// the next block when they make a tuning; the host told the state changed.
void setTuningFiles(void *handle, const char *scalePath, const char *mapPath) {
    ClapPlugin &p = *static_cast<ClapPlugin *>(handle);
    TuningFileTexts files = p.tuningFiles;
    if (readChosenTuningFiles(files, scalePath, mapPath) &&
        handHostTuningFiles(p.engine, p.tuningFiles, files) && p.hostState)
        p.hostState->mark_dirty(p.host);
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
    p.panelOpen = p.panelHidden = false;
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
    p.desktopScale = pluginDesktopScale();
    return true;
}

bool setScale(const clap_plugin_t *plugin, double scale) {
    ClapPlugin &p = self(plugin);
    if (p.view || !(scale >= kMinScale && scale <= kMaxScale))
        return false;
    p.scale = scale;
    return true;
}

// The host's scale, or the desktop's: the panel opens at it, so the size
// told before it opens is the size it keeps.
double panelScale(const ClapPlugin &p) {
    return p.scale ? p.scale : p.desktopScale;
}

bool panelSize(const clap_plugin_t *plugin, uint32_t *width, uint32_t *height) {
    const ClapPlugin &p = self(plugin);
    if (p.view) {
        pluginViewSize(p.view, *width, *height);
    } else {
        *width = static_cast<uint32_t>(std::lrint(kPanelWidth * panelScale(p)));
        *height = static_cast<uint32_t>(std::lrint(kPanelHeight * panelScale(p)));
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

// The controls as the host has them now, the sound's level and the tuning's name.
void showControls(ClapPlugin &p) {
    for (const ControlPort &c : kControlPorts)
        showPluginControl(p.view, c.index, static_cast<float>(steppedValue(c, valueOf(p, c))));
    showPluginControl(p.view, kLevelPort, p.level.load(std::memory_order_relaxed));
    char name[kTuningNameBytes];
    shownTuningName(p.engine.engine.state, name);
    showPluginTuningName(p.view, name);
}

bool setParent(const clap_plugin_t *plugin, const clap_window_t *window) {
    ClapPlugin &p = self(plugin);
    if (!p.panelOpen || p.view || !window || !isApiSupported(plugin, window->api, false))
        return false;
    const char *error = nullptr;
    p.view = createPluginView(window->x11, panelScale(p),
                              {&p, writeControl, touchControl, setTuningFiles}, &error);
    if (!p.view) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", error);
        return false;
    }
    showControls(p);
    idlePluginView(p.view);
    return true;
}

bool setTransient(const clap_plugin_t *, const clap_window_t *) {
    return false;
}

void suggestTitle(const clap_plugin_t *, const char *) {}

// The host shows and hides its own window; a hidden panel draws nothing.
bool showPanel(const clap_plugin_t *plugin) {
    ClapPlugin &p = self(plugin);
    if (p.view && p.panelHidden)
        showPluginView(p.view, true);
    p.panelHidden = false;
    return p.view != nullptr;
}

bool hidePanel(const clap_plugin_t *plugin) {
    ClapPlugin &p = self(plugin);
    if (p.view && !p.panelHidden)
        showPluginView(p.view, false);
    p.panelHidden = true;
    return p.view != nullptr;
}

// The host's changes reach the panel, the panel takes its window's events,
// and moves that found the way to the host full go on.
void onTimer(const clap_plugin_t *plugin, clap_id timer) {
    ClapPlugin &p = self(plugin);
    if (timer != p.timer)
        return;
    if (p.gestures.anyWaiting()) {
        p.gestures.retry();
        askForFlush(p);
    }
    if (!p.view || p.panelHidden)
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
                                    suggestTitle,   showPanel,    hidePanel};
const clap_plugin_timer_support_t kClapTimerSupport = {onTimer};
