// The LV2 plugin's own panel: an X11 window under the host's, which the host
// drives with its idle calls; the tuning's files it chooses go to the plugin
// as patch messages through the host, the tuning's name comes back on the
// notify port. A library of its own, so the plugin's DSP library stays free
// of cairo and X11. Every call comes from the host's UI thread.
#include "plugins/lv2/plugin_uri.h"
#include "plugins/panel/panel_layout.h"
#include "plugins/panel/plugin_view.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

const std::string kUiUri = std::string(kPluginUri) + "#ui";

// The URIs of the patch messages the panel writes and reads, where the
// host maps URIs (without, the panel takes no tuning's files).
struct PatchUrids {
    LV2_URID eventTransfer, atomObject, atomPath, atomString, atomUrid;
    LV2_URID patchSet, patchPut, patchGet, patchProperty, patchValue, patchBody;
    LV2_URID scale, keyboardMap, tuningName;
};

struct Ui {
    PluginView *view = nullptr;
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller controller = nullptr;
    const LV2UI_Touch *touch = nullptr;
    const LV2_URID_Map *map = nullptr;
    PatchUrids uris{};
};

PatchUrids mapPatchUrids(const LV2_URID_Map &map) {
    const auto m = [&map](const char *uri) { return map.map(map.handle, uri); };
    return {m(LV2_ATOM__eventTransfer), m(LV2_ATOM__Object), m(LV2_ATOM__Path),
            m(LV2_ATOM__String),        m(LV2_ATOM__URID),   m(LV2_PATCH__Set),
            m(LV2_PATCH__Put),          m(LV2_PATCH__Get),   m(LV2_PATCH__property),
            m(LV2_PATCH__value),        m(LV2_PATCH__body),  m(kScaleUri),
            m(kKeyboardMapUri),         m(kTuningNameUri)};
}

// A patch message to the plugin's input, through the host: `forge(f)` writes
// its body.
template <typename Forge> void writePatch(Ui &ui, LV2_URID otype, Forge &&forge) {
    std::vector<uint8_t> buffer(2 * PATH_MAX + 1024);
    LV2_Atom_Forge f;
    lv2_atom_forge_init(&f, const_cast<LV2_URID_Map *>(ui.map));
    lv2_atom_forge_set_buffer(&f, buffer.data(), static_cast<uint32_t>(buffer.size()));
    LV2_Atom_Forge_Frame frame;
    const LV2_Atom_Forge_Ref message = lv2_atom_forge_object(&f, &frame, 0, otype);
    forge(f);
    lv2_atom_forge_pop(&f, &frame);
    const auto *atom = lv2_atom_forge_deref(&f, message);
    ui.write(ui.controller, kMidiInPort, lv2_atom_total_size(atom), ui.uris.eventTransfer, atom);
}

void forgePath(LV2_Atom_Forge &f, LV2_URID key, const char *path) {
    lv2_atom_forge_key(&f, key);
    lv2_atom_forge_path(&f, path, static_cast<uint32_t>(std::strlen(path)));
}

// One file as patch:Set; both (12-TET, or files chosen at once) as one
// patch:Put, so the plugin reads them together.
void setTuningFiles(void *handle, const char *scalePath, const char *mapPath) {
    Ui &ui = *static_cast<Ui *>(handle);
    const PatchUrids &u = ui.uris;
    if (scalePath && mapPath) {
        writePatch(ui, u.patchPut, [&](LV2_Atom_Forge &f) {
            LV2_Atom_Forge_Frame body;
            lv2_atom_forge_key(&f, u.patchBody);
            lv2_atom_forge_object(&f, &body, 0, 0);
            forgePath(f, u.scale, scalePath);
            forgePath(f, u.keyboardMap, mapPath);
            lv2_atom_forge_pop(&f, &body);
        });
        return;
    }
    writePatch(ui, u.patchSet, [&](LV2_Atom_Forge &f) {
        lv2_atom_forge_key(&f, u.patchProperty);
        lv2_atom_forge_urid(&f, scalePath ? u.scale : u.keyboardMap);
        forgePath(f, u.patchValue, scalePath ? scalePath : mapPath);
    });
}

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
        ui = new (std::nothrow) Ui{nullptr, write, controller, touch, map, {}};
        if (!ui)
            error = "out of memory";
    }
    if (ui) {
        if (map)
            ui->uris = mapPatchUrids(*map);
        ui->view = createPluginView(
            reinterpret_cast<uintptr_t>(parent), scaleFactor(options, map),
            {ui, writeControl, touchControl, map ? setTuningFiles : nullptr}, &error);
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
    if (map) // the plugin answers with the tuning's name on its notify port
        writePatch(*ui, ui->uris.patchGet, [](LV2_Atom_Forge &) {});
    return ui;
}

void cleanup(LV2UI_Handle handle) {
    Ui *ui = static_cast<Ui *>(handle);
    destroyPluginView(ui->view);
    delete ui;
}

// The tuning's name in a patch:Set from the notify port, or nullptr.
const char *toldTuningName(const Ui &ui, const LV2_Atom *atom) {
    const PatchUrids &u = ui.uris;
    if (atom->type != u.atomObject)
        return nullptr;
    const auto *object = reinterpret_cast<const LV2_Atom_Object *>(atom);
    if (object->body.otype != u.patchSet)
        return nullptr;
    const LV2_Atom *property = nullptr, *value = nullptr;
    lv2_atom_object_get(object, u.patchProperty, &property, u.patchValue, &value, 0);
    if (!property || property->type != u.atomUrid || !value || value->type != u.atomString ||
        reinterpret_cast<const LV2_Atom_URID *>(property)->body != u.tuningName)
        return nullptr;
    const auto *text = static_cast<const char *>(LV2_ATOM_BODY_CONST(value));
    return value->size > 0 && text[value->size - 1] == '\0' ? text : nullptr;
}

// A control's value as the host has it (format 0: one float), the level,
// and the notify port's patch messages (the tuning's name).
void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
               const void *buffer) {
    Ui &ui = *static_cast<Ui *>(handle);
    if (format == 0 && size == sizeof(float) && buffer) {
        float value;
        std::memcpy(&value, buffer, sizeof value);
        showPluginControl(ui.view, port, value);
    } else if (ui.map && format == ui.uris.eventTransfer && port == kNotifyPort && buffer &&
               size >= sizeof(LV2_Atom) &&
               size >= lv2_atom_total_size(static_cast<const LV2_Atom *>(buffer))) {
        if (const char *name = toldTuningName(ui, static_cast<const LV2_Atom *>(buffer)))
            showPluginTuningName(ui.view, name);
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
