// The LV2 plugin's own panel: an X11 window under the host's, which the host
// drives with its idle calls. A library of its own, so the plugin's DSP
// library stays free of cairo and X11. Every call comes from the host's UI
// thread.
#include "plugins/lv2/plugin_uri.h"
#include "plugins/panel/panel_layout.h"
#include "plugins/panel/plugin_view.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

const std::string kUiUri = std::string(kPluginUri) + "#ui";

struct Ui {
    PluginView *view = nullptr;
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller controller = nullptr;
    const LV2UI_Touch *touch = nullptr;
};

void writeControl(void *handle, uint32_t port, float value) {
    Ui &ui = *static_cast<Ui *>(handle);
    ui.write(ui.controller, port, sizeof value, 0, &value);
}

void touchControl(void *handle, uint32_t port, bool grabbed) {
    Ui &ui = *static_cast<Ui *>(handle);
    if (ui.touch)
        ui.touch->touch(ui.touch->handle, port, grabbed);
}

// The host's scale factor among its options; 0 (the desktop's) where it
// gives none, or one no panel could be drawn at (said on standard error).
double scaleFactor(const LV2_Options_Option *options, const LV2_URID_Map *map) {
    if (!options || !map)
        return 0.0;
    const LV2_URID scaleKey = map->map(map->handle, LV2_UI__scaleFactor);
    const LV2_URID floatType = map->map(map->handle, LV2_ATOM__Float);
    const LV2_URID doubleType = map->map(map->handle, LV2_ATOM__Double);
    for (const LV2_Options_Option *o = options; o->key != 0; ++o) {
        if (o->key != scaleKey || !o->value)
            continue;
        double scale = NAN;
        if (o->type == floatType && o->size == sizeof(float))
            scale = *static_cast<const float *>(o->value);
        else if (o->type == doubleType && o->size == sizeof(double))
            scale = *static_cast<const double *>(o->value);
        if (scale >= kMinScale && scale <= kMaxScale)
            return scale;
        std::fprintf(stderr,
                     "ondrilux: the host's scale factor %g is outside %g to %g: the panel "
                     "takes the desktop's\n",
                     scale, kMinScale, kMaxScale);
        return 0.0;
    }
    return 0.0;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor *, const char *pluginUri, const char *,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget *widget, const LV2_Feature *const *features) {
    void *parent = nullptr;
    const LV2UI_Resize *resize = nullptr;
    const LV2UI_Touch *touch = nullptr;
    const LV2_Options_Option *options = nullptr;
    const LV2_URID_Map *map = nullptr;
    bool idle = false;
    for (const LV2_Feature *const *f = features; f && *f; ++f) {
        const char *uri = (*f)->URI;
        if (std::strcmp(uri, LV2_UI__parent) == 0)
            parent = (*f)->data;
        else if (std::strcmp(uri, LV2_UI__resize) == 0)
            resize = static_cast<const LV2UI_Resize *>((*f)->data);
        else if (std::strcmp(uri, LV2_UI__touch) == 0)
            touch = static_cast<const LV2UI_Touch *>((*f)->data);
        else if (std::strcmp(uri, LV2_OPTIONS__options) == 0)
            options = static_cast<const LV2_Options_Option *>((*f)->data);
        else if (std::strcmp(uri, LV2_URID__map) == 0)
            map = static_cast<const LV2_URID_Map *>((*f)->data);
        else if (std::strcmp(uri, LV2_UI__idleInterface) == 0)
            idle = true;
    }
    const char *error = nullptr;
    if (!pluginUri || std::strcmp(pluginUri, kPluginUri) != 0)
        error = "the panel is for another plugin";
    else if (!write || !widget)
        error = "the host gives no way to write the controls";
    else if (!parent)
        error = "the host gives no parent window (ui:parent)";
    else if (!idle)
        error = "the host does not drive the panel (ui:idleInterface)";
    Ui *ui = nullptr;
    if (!error) {
        ui = new (std::nothrow) Ui{nullptr, write, controller, touch};
        if (!ui)
            error = "out of memory";
    }
    if (ui) {
        ui->view = createPluginView(reinterpret_cast<uintptr_t>(parent), scaleFactor(options, map),
                                    {ui, writeControl, touchControl}, &error);
        if (!ui->view) {
            delete ui;
            ui = nullptr;
        }
    }
    if (!ui) {
        std::fprintf(stderr, "ondrilux: the panel cannot open: %s\n", error);
        return nullptr;
    }
    *widget = reinterpret_cast<LV2UI_Widget>(static_cast<uintptr_t>(pluginViewWindow(ui->view)));
    uint32_t width = 0, height = 0;
    pluginViewSize(ui->view, width, height);
    if (resize)
        resize->ui_resize(resize->handle, static_cast<int>(width), static_cast<int>(height));
    return ui;
}

void cleanup(LV2UI_Handle handle) {
    Ui *ui = static_cast<Ui *>(handle);
    destroyPluginView(ui->view);
    delete ui;
}

// A control's value as the host has it (format 0: one float), and the level.
void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
               const void *buffer) {
    if (format == 0 && size == sizeof(float) && buffer) {
        float value;
        std::memcpy(&value, buffer, sizeof value);
        showPluginControl(static_cast<Ui *>(handle)->view, port, value);
    }
}

int idle(LV2UI_Handle handle) {
    return idlePluginView(static_cast<Ui *>(handle)->view) ? 0 : 1;
}

const void *extensionData(const char *uri) {
    static const LV2UI_Idle_Interface kIdle = {idle};
    if (std::strcmp(uri, LV2_UI__idleInterface) == 0)
        return &kIdle;
    return nullptr;
}

const LV2UI_Descriptor kDescriptor = {kUiUri.c_str(), instantiate, cleanup, portEvent,
                                      extensionData};

} // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor *lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
