// The VST3 plugin's panel: the LV2 plugin's, embedded in the host's X11
// window through IPlugView, driven by a timer and by its X connection's
// events through the host's run loop (IRunLoop, from the IPlugFrame), at the
// scale the host sets (IPlugViewContentScaleSupport) or else the desktop's.
// Every call comes from the host's main thread, where the controller is: the
// panel's writes reach the host at once, as beginEdit, performEdit and
// endEdit in the order they happen.
#include "plugins/vst3/vst3_plugin.h"

#include "plugins/panel/panel_layout.h"
#include "plugins/panel/plugin_view.h"

#include <travesty/view.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint64_t kPanelPeriodMs = 30;

struct Vst3View {
    ComSlot<Vst3View> view{}, scaling{}, timer{}, events{};
    std::atomic<uint32_t> references = 1;
    Vst3Plugin *plugin = nullptr; // a reference held
    v3_plugin_frame **frame = nullptr;
    v3_run_loop **runLoop = nullptr; // while attached
    unsigned long parent = 0;        // while attached
    PluginView *panel = nullptr;     // while attached, until the host takes its window
    double scale = 0.0;              // the host's; 0: the desktop's
    bool grabbed[kPortCount] = {};   // the controls the player holds
};

Vst3View &viewOf(void *self) {
    return ownerOf<Vst3View>(self);
}

v3_result V3_API queryView(void *self, const v3_tuid iid, void **object) {
    Vst3View &v = viewOf(self);
    ComSlot<Vst3View> *slot = nullptr;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_view_iid))
        slot = &v.view;
    else if (v3_tuid_match(iid, v3_plugin_view_content_scale_iid))
        slot = &v.scaling;
    else if (v3_tuid_match(iid, v3_timer_handler_iid))
        slot = &v.timer;
    else if (v3_tuid_match(iid, v3_event_handler_iid))
        slot = &v.events;
    return handOut(slot, object);
}

uint32_t V3_API refView(void *self) {
    return viewOf(self).references.fetch_add(1, std::memory_order_relaxed) + 1;
}

void closePanel(Vst3View &v);

uint32_t V3_API unrefView(void *self) {
    Vst3View *v = &viewOf(self);
    const uint32_t left = v->references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left != 0)
        return left;
    closePanel(*v); // a host that never said it removed the view
    if (v->runLoop)
        v3_cpp_obj_unref(v->runLoop);
    if (v->frame)
        v3_cpp_obj_unref(v->frame);
    releaseVst3Plugin(*v->plugin);
    delete v;
    return 0;
}

// The panel's writes, as the host's edits: a drag is one gesture from grab
// to release; a click or a turn of the wheel a gesture of its own.
using Edit = v3_result (V3_API *v3_component_handler::*)(void *, v3_param_id);

void editBy(Vst3View &v, uint32_t port, Edit edit) {
    if (v3_component_handler **h = v.plugin->handler)
        (v3_cpp_obj(h)->*edit)(h, port);
}

void writeControl(void *handle, uint32_t port, float value) {
    Vst3View &v = *static_cast<Vst3View *>(handle);
    const ControlPort *c = controlPort(port);
    if (!c)
        return;
    v.plugin->shown[port].store(value, std::memory_order_relaxed);
    const bool ownGesture = !v.grabbed[port];
    if (ownGesture)
        editBy(v, port, &v3_component_handler::begin_edit);
    if (v3_component_handler **h = v.plugin->handler)
        v3_cpp_obj(h)->perform_edit(h, port, controlNormalized(*c, value));
    if (ownGesture)
        editBy(v, port, &v3_component_handler::end_edit);
}

void touchControl(void *handle, uint32_t port, bool grabbed) {
    Vst3View &v = *static_cast<Vst3View *>(handle);
    if (!controlPort(port) || v.grabbed[port] == grabbed)
        return;
    v.grabbed[port] = grabbed;
    editBy(v, port, grabbed ? &v3_component_handler::begin_edit : &v3_component_handler::end_edit);
}

// The files the player chose, read here on the main thread: in force from
// the next block when they make a tuning; the host told that the song changed.
void setTuningFiles(void *handle, const char *scalePath, const char *mapPath) {
    Vst3Plugin &p = *static_cast<Vst3View *>(handle)->plugin;
    TuningFileTexts files = p.tuningFiles;
    if (!readChosenTuningFiles(files, scalePath, mapPath))
        return;
    v3_component_handler2 **handler = nullptr;
    if (handHostTuningFiles(p.engine, p.tuningFiles, files) && p.handler &&
        v3_cpp_obj_query_interface(p.handler, v3_component_handler2_iid, &handler) == V3_OK &&
        handler) {
        v3_cpp_obj(handler)->set_dirty(handler, true);
        v3_cpp_obj_unref(handler);
    }
}

// The panel's size in pixels: as drawn, or as it will be at the host's
// scale (1 until the desktop's is known).
v3_view_rect panelRect(const Vst3View &v) {
    uint32_t width = 0, height = 0;
    if (v.panel) {
        pluginViewSize(v.panel, width, height);
    } else {
        const double scale = v.scale ? v.scale : 1.0;
        width = static_cast<uint32_t>(std::lrint(kPanelWidth * scale));
        height = static_cast<uint32_t>(std::lrint(kPanelHeight * scale));
    }
    return {0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

// The controls as the controller has them now, and the sound's level; then
// the window's events and what changed drawn.
void tick(Vst3View &v) {
    if (!v.panel)
        return;
    for (const ControlPort &c : kControlPorts)
        showPluginControl(v.panel, c.index,
                          static_cast<float>(controlPortValue(
                              c, v.plugin->shown[c.index].load(std::memory_order_relaxed))));
    showPluginControl(v.panel, kLevelPort, v.plugin->level.load(std::memory_order_relaxed));
    char name[kTuningNameBytes];
    shownTuningName(v.plugin->engine.engine.state, name);
    showPluginTuningName(v.panel, name);
    if (!idlePluginView(v.panel)) // the host took the window away
        closePanel(v);
}

void closePanel(Vst3View &v) {
    if (!v.panel)
        return;
    v3_cpp_obj(v.runLoop)->unregister_timer(v.runLoop,
                                            reinterpret_cast<v3_timer_handler **>(&v.timer));
    v3_cpp_obj(v.runLoop)->unregister_event_handler(
        v.runLoop, reinterpret_cast<v3_event_handler **>(&v.events));
    destroyPluginView(v.panel);
    v.panel = nullptr;
}

// The panel in the host's window, driven through its run loop; the host
// asked to resize where the desktop's scale makes it larger than it was told.
bool openPanel(Vst3View &v) {
    const v3_view_rect told = panelRect(v);
    const char *error = nullptr;
    v.panel = createPluginView(v.parent, v.scale, {&v, writeControl, touchControl, setTuningFiles},
                               &error);
    if (!v.panel) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", error);
        return false;
    }
    v3_cpp_obj(v.runLoop)->register_timer(
        v.runLoop, reinterpret_cast<v3_timer_handler **>(&v.timer), kPanelPeriodMs);
    v3_cpp_obj(v.runLoop)->register_event_handler(
        v.runLoop, reinterpret_cast<v3_event_handler **>(&v.events), pluginViewConnection(v.panel));
    tick(v);
    v3_view_rect size = panelRect(v);
    if (v.frame && (size.right != told.right || size.bottom != told.bottom))
        v3_cpp_obj(v.frame)->resize_view(v.frame, reinterpret_cast<v3_plugin_view **>(&v.view),
                                         &size);
    return true;
}

v3_result V3_API isPlatformTypeSupported(void *, const char *type) {
    return type && std::strcmp(type, V3_VIEW_PLATFORM_TYPE_X11) == 0 ? V3_TRUE : V3_FALSE;
}

// Without the host's run loop nothing would drive the panel: it is refused.
v3_result V3_API attached(void *self, void *parent, const char *type) {
    Vst3View &v = viewOf(self);
    const char *refusal = nullptr;
    v3_run_loop **loop = nullptr;
    if (isPlatformTypeSupported(self, type) != V3_TRUE)
        refusal = "the host's window is not an X11 window";
    else if (v.runLoop)
        refusal = "it is open already (the host attached it twice)";
    else if (!v.frame || v3_cpp_obj_query_interface(v.frame, v3_run_loop_iid, &loop) != V3_OK ||
             !loop)
        refusal = "the host has no run loop for it (IRunLoop)";
    if (refusal) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", refusal);
        return V3_FALSE;
    }
    v.runLoop = loop;
    v.parent = reinterpret_cast<uintptr_t>(parent);
    if (openPanel(v))
        return V3_OK;
    v3_cpp_obj_unref(v.runLoop);
    v.runLoop = nullptr;
    return V3_FALSE;
}

v3_result V3_API removed(void *self) {
    Vst3View &v = viewOf(self);
    if (!v.runLoop)
        return V3_FALSE; // never attached
    closePanel(v);
    v3_cpp_obj_unref(v.runLoop);
    v.runLoop = nullptr;
    return V3_OK;
}

v3_result V3_API onWheel(void *, float) {
    return V3_FALSE;
}

v3_result V3_API onKey(void *, int16_t, int16_t, int16_t) {
    return V3_FALSE; // the panel takes no keys
}

v3_result V3_API size(void *self, v3_view_rect *rect) {
    if (!rect)
        return V3_INVALID_ARG;
    *rect = panelRect(viewOf(self));
    return V3_OK;
}

// The panel has one size at its scale: the host may only confirm it.
v3_result V3_API onSize(void *self, v3_view_rect *rect) {
    const v3_view_rect own = panelRect(viewOf(self));
    return rect && rect->right - rect->left == own.right && rect->bottom - rect->top == own.bottom
               ? V3_OK
               : V3_FALSE;
}

v3_result V3_API onFocus(void *, v3_bool) {
    return V3_OK;
}

v3_result V3_API setFrame(void *self, v3_plugin_frame **frame) {
    Vst3View &v = viewOf(self);
    if (frame)
        v3_cpp_obj_ref(frame);
    if (v.frame)
        v3_cpp_obj_unref(v.frame);
    v.frame = frame;
    return V3_OK;
}

v3_result V3_API canResize(void *) {
    return V3_FALSE;
}

v3_result V3_API checkSizeConstraint(void *self, v3_view_rect *rect) {
    if (!rect)
        return V3_INVALID_ARG;
    const v3_view_rect own = panelRect(viewOf(self));
    rect->right = rect->left + own.right;
    rect->bottom = rect->top + own.bottom;
    return V3_OK;
}

// A new scale draws the panel again at it, and asks the host for its size.
v3_result V3_API setContentScale(void *self, float factor) {
    Vst3View &v = viewOf(self);
    if (!(factor >= kMinScale && factor <= kMaxScale)) {
        std::fprintf(stderr,
                     "ondrilux: the host's scale factor %g is outside %g to %g: the panel keeps "
                     "its own\n",
                     static_cast<double>(factor), kMinScale, kMaxScale);
        return V3_FALSE;
    }
    if (v.scale == factor)
        return V3_OK;
    v.scale = factor;
    if (!v.panel)
        return V3_OK;
    closePanel(v);
    return openPanel(v) ? V3_OK : V3_FALSE;
}

void V3_API onTimer(void *self) {
    tick(viewOf(self));
}

void V3_API onFdIsSet(void *self, int) {
    tick(viewOf(self));
}

const v3_plugin_view_cpp kViewFunctions = {{queryView, refView, unrefView},
                                           {isPlatformTypeSupported, attached, removed, onWheel,
                                            onKey, onKey, size, onSize, onFocus, setFrame,
                                            canResize, checkSizeConstraint}};
const v3_plugin_view_content_scale_cpp kScaleFunctions = {{queryView, refView, unrefView},
                                                          {setContentScale}};
const v3_timer_handler_cpp kTimerFunctions = {{queryView, refView, unrefView}, {onTimer}};
const v3_event_handler_cpp kEventFunctions = {{queryView, refView, unrefView}, {onFdIsSet}};

} // namespace

v3_plugin_view **createVst3View(Vst3Plugin &p, const char *name) {
    if (!name || std::strcmp(name, "editor") != 0)
        return nullptr;
    Vst3View *v = new (std::nothrow) Vst3View;
    if (!v)
        return nullptr;
    v->view = {&kViewFunctions, v};
    v->scaling = {&kScaleFunctions, v};
    v->timer = {&kTimerFunctions, v};
    v->events = {&kEventFunctions, v};
    v->plugin = &p;
    retainVst3Plugin(p);
    return reinterpret_cast<v3_plugin_view **>(&v->view);
}
