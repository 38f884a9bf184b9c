#include "plugins/panel/plugin_view.h"

#include "plugins/panel/file_chooser.h"
#include "plugins/panel/panel_layout.h"

#include "engine/operation_names.h"
#include "engine/synth_state.h"
#include "engine/waveshaper.h"
#include "plugins/controls/control_ports.h"
#include "plugins/controls/value_text.h"

#include <cairo.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

// Xlib's header for extensions, for its hook on one display's errors; its
// min and max macros would hide std::min and std::max.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace {

// Two presses on one control within this many milliseconds: a double-click.
constexpr Time kDoubleClickMs = 400;

// Colours as the window has them (0xRRGGBB here, for cairo).
constexpr uint32_t kFace = 0xECECEC, kInk = 0x202020, kFaint = 0x8A8A8A, kTrack = 0xEDEDED,
                   kGreen = 0x009900, kRed = 0xFF0000, kWhite = 0xFFFFFF, kEdge = 0x9A9A9A;

void setColour(cairo_t *cr, uint32_t rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                          (rgb & 0xFF) / 255.0, alpha);
}

void fill(cairo_t *cr, const PanelRect &r, uint32_t rgb) {
    setColour(cr, rgb);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_fill(cr);
}

// Text with its baseline `baseline` units down from y, left-aligned at x, or
// right-aligned when `rightEdge`.
void text(cairo_t *cr, const char *s, double x, double y, uint32_t rgb, bool rightEdge = false,
          double size = kTextSize) {
    cairo_set_font_size(cr, size);
    double at = x;
    if (rightEdge) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, s, &e);
        at = x - e.x_advance;
    }
    setColour(cr, rgb);
    cairo_move_to(cr, at, y);
    cairo_show_text(cr, s);
}

// A 2-unit sunken border just inside r, as the window's canvas has.
void sunkenBorder(cairo_t *cr, const PanelRect &r) {
    cairo_set_line_width(cr, 1.0);
    setColour(cr, 0x7A7A7A);
    cairo_move_to(cr, r.x + 0.5, r.y + r.height);
    cairo_line_to(cr, r.x + 0.5, r.y + 0.5);
    cairo_line_to(cr, r.x + r.width, r.y + 0.5);
    cairo_stroke(cr);
    setColour(cr, kWhite);
    cairo_move_to(cr, r.x + 0.5, r.y + r.height - 0.5);
    cairo_line_to(cr, r.x + r.width - 0.5, r.y + r.height - 0.5);
    cairo_line_to(cr, r.x + r.width - 0.5, r.y);
    cairo_stroke(cr);
    setColour(cr, 0xA0A0A0);
    cairo_rectangle(cr, r.x + 1.5, r.y + 1.5, r.width - 3, r.height - 3);
    cairo_stroke(cr);
}

// An X error on the panel's own connection would otherwise go to the
// process's error handler, and Xlib's default ends the host. That handler is
// the whole process's, and another thread of the host may make X calls at any
// time, so the panel never swaps it: Xlib hands every error of the panel's
// display to noteXError instead, which keeps it from the handler and notes it
// for checkedSync. The panel's display is used on the host's UI thread alone.
thread_local bool tXError = false;
Bool noteXError(Display *, XErrorEvent *, xError *) {
    tXError = true;
    return False;
}

Display *openPanelDisplay() {
    Display *display = XOpenDisplay(nullptr);
    for (int code = 1; display && code < 256; ++code)
        XESetWireToError(display, code, noteXError);
    return display;
}

// Waits for the server to answer everything sent so far; whether it refused
// any of it.
bool checkedSync(Display *display) {
    tXError = false;
    XSync(display, False);
    return !tXError;
}

// Whether the window's pixels are cairo's as they are: 32 bits with 8 for
// each primary, red the highest, as every desktop's visual of depth 24 or 32.
bool takesCairoPixels(const XWindowAttributes &window) {
    const Visual *v = window.visual;
    return (window.depth == 24 || window.depth == 32) && v->c_class == TrueColor &&
           v->red_mask == 0xFF0000 && v->green_mask == 0xFF00 && v->blue_mask == 0xFF;
}

// The desktop's scale on X11: Xft.dpi, which desktops set for every
// toolkit, over the 96 of scale 1, in quarter steps; 1 where it is not set.
double desktopScale(Display *display) {
    const char *resources = XResourceManagerString(display);
    const char *at = resources ? std::strstr(resources, "Xft.dpi:") : nullptr;
    const double dpi = at ? std::strtod(at + 8, nullptr) : 0.0;
    const double scale = std::round(dpi / 96.0 * 4.0) / 4.0;
    return scale >= kMinScale && scale <= kMaxScale ? scale : 1.0;
}

} // namespace

struct PluginView {
    PluginViewHost host{};
    double scale = 1.0;
    Display *display = nullptr;
    Window window = 0;
    uint32_t width = 0, height = 0;  // pixels, at the scale
    cairo_surface_t *back = nullptr; // the whole panel, drawn at the scale
    XImage *image = nullptr;         // the same pixels, as Xlib sends them to the window
    GC gc = nullptr;
    bool gone = false;

    float values[kPortCount] = {};
    std::array<bool, kPanelItemCount> dirty{};
    PanelRect exposed{}; // what the window lost since the last idle, in pixels
    bool anyExposed = false;

    // The pointer's hold: the item pressed (or -1), which range edge, and
    // the last press for double-clicks.
    int held = -1;
    bool heldTop = false, heldBottom = false;
    int lastPressItem = -1;
    Time lastPressTime = 0;
    int moving = -1; // the item whose value shows as it moves (or -1)

    // The live picture: the engine's own waveshaper on a record of its own,
    // and the bytes last drawn, so a new level redraws only a new shape.
    SynthState picture;
    std::array<int8_t, kPictureSamples> shaped{}, plain{};
    int32_t drawnTop = kRangeTopControl.initial, drawnBottom = kRangeBottomControl.initial;

    // The tuning's row: its name as the plugin tells it, and the desktop's
    // file chooser while it shows (for a scale or a keyboard map); what
    // the name's place says instead while a chooser shows or when none can.
    char tuningName[kTuningNameBytes] = "12-TET";
    FileChooser *chooser = nullptr;
    TuningAction choosing = TuningAction::none;
    const char *tuningNote = nullptr;
};

namespace {

int32_t portValue(const PluginView &v, PluginPort port) {
    return controlPortValue(*controlPort(port), v.values[port]);
}

// The picture's bytes for the controls and level now; whether they changed.
bool shapePicture(PluginView &v) {
    SynthState &st = v.picture;
    st.rangeTop.set(portValue(v, kRangeTopPort));
    st.rangeBottom.set(portValue(v, kRangeBottomPort));
    st.operation.set(portValue(v, kOperationPort));
    st.staticOperand.set(portValue(v, kStaticValuePort));
    const float level = v.values[kLevelPort];
    st.envelope.level = std::isfinite(level) ? std::clamp(level, 0.0f, 2.0f) : 0.0f;
    st.velocityGain = 1.0;
    std::array<int8_t, kPictureSamples> shaped{}, plain{};
    const int32_t top = st.rangeTop.get(), bottom = st.rangeBottom.get();
    const double amplitude = (bottom + st.envelope.level * (top - bottom)) / 250.0;
    for (int i = 0; i < kPictureSamples; ++i) {
        const double sine = sineOfPhase(static_cast<float>(i) / kPictureSamples);
        shaped[i] = static_cast<int8_t>(std::lrint(shapeSine(st, sine) * 127.0f));
        plain[i] = static_cast<int8_t>(std::lrint(static_cast<float>(sine * amplitude) * 127.0));
    }
    const bool changed = shaped != v.shaped || plain != v.plain;
    v.shaped = shaped;
    v.plain = plain;
    return changed;
}

void markDirty(PluginView &v, int item) {
    if (item >= 0 && item < kPanelItemCount)
        v.dirty[item] = true;
}

// The items that show port `port`.
void markPort(PluginView &v, uint32_t port) {
    if (port == kRangeTopPort || port == kRangeBottomPort)
        markDirty(v, kRangeBarItem);
    if (port == kOperationPort)
        for (int op = 1; op <= kOperationCount; ++op)
            markDirty(v, operationItem(op));
    if (const int item = controlItem(port); item >= 0)
        markDirty(v, item);
    if (port == kRangeTopPort || port == kRangeBottomPort || port == kOperationPort ||
        port == kStaticValuePort || port == kLevelPort)
        if (shapePicture(v))
            markDirty(v, kPictureItem);
}

void drawRangeBar(PluginView &v, cairo_t *cr) {
    const PanelRect &r = panelItem(kRangeBarItem).rect;
    fill(cr, r, kFace);
    sunkenBorder(cr, r);
    // Equal edges draw nothing in the window: the last picture stays.
    int32_t top = portValue(v, kRangeTopPort), bottom = portValue(v, kRangeBottomPort);
    if (top == bottom) {
        top = v.drawnTop;
        bottom = v.drawnBottom;
    }
    v.drawnTop = top;
    v.drawnBottom = bottom;
    const PanelRect surface{r.x + 2, r.y + 2, r.width - 4, r.height - 4};
    cairo_save(cr);
    cairo_rectangle(cr, surface.x, surface.y, surface.width, surface.height);
    cairo_clip(cr);
    fill(cr, surface, kTrack);
    const int32_t from = std::min(top, bottom), to = std::max(top, bottom);
    fill(cr, {surface.x, surface.y + from, surface.width, static_cast<double>(to - from)},
         top < bottom ? kGreen : kRed);
    cairo_restore(cr);
}

// y of byte b in the picture's box: 127 near the top, -128 near the bottom.
double byteY(const PanelRect &r, int b) {
    return r.y + r.height / 2.0 - b * (r.height / 2.0 - 3) / 128.0;
}

void drawPicture(PluginView &v, cairo_t *cr) {
    const PanelRect &r = panelItem(kPictureItem).rect;
    fill(cr, r, kWhite);
    sunkenBorder(cr, r);
    cairo_save(cr);
    cairo_rectangle(cr, r.x + 2, r.y + 2, r.width - 4, r.height - 4);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.0);
    setColour(cr, 0xD0D0D0);
    cairo_move_to(cr, r.x, std::floor(byteY(r, 0)) + 0.5);
    cairo_line_to(cr, r.x + r.width, std::floor(byteY(r, 0)) + 0.5);
    cairo_stroke(cr);
    // Each byte holds for its share of the period: steps, as the sound has them.
    const double step = (r.width - 4) / kPictureSamples;
    auto trace = [&](const std::array<int8_t, kPictureSamples> &bytes, uint32_t rgb, double width) {
        cairo_set_line_width(cr, width);
        setColour(cr, rgb);
        for (int i = 0; i < kPictureSamples; ++i) {
            const double x = r.x + 2 + i * step, y = byteY(r, bytes[i]);
            if (i == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
            cairo_line_to(cr, x + step, y);
        }
        cairo_stroke(cr);
    };
    trace(v.plain, 0xB8B8B8, 1.0); // the sine in the window, before the operation
    const bool sounding = v.values[kLevelPort] > 0.0f;
    trace(v.shaped, sounding ? kGreen : kFaint, 1.5);
    cairo_restore(cr);
}

void drawOption(PluginView &v, cairo_t *cr, int op) {
    const PanelItem &item = panelItem(operationItem(op));
    const PanelRect &r = item.rect;
    fill(cr, r, kFace);
    const double cx = r.x + 8, cy = r.y + r.height / 2.0;
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx, cy, 5.5, 0, 2 * M_PI);
    setColour(cr, kWhite);
    cairo_fill_preserve(cr);
    setColour(cr, kEdge);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    if (portValue(v, kOperationPort) == op) {
        cairo_arc(cr, cx, cy, 3.0, 0, 2 * M_PI);
        setColour(cr, kGreen);
        cairo_fill(cr);
    }
    text(cr, operationName(op).caption, r.x + 20, cy + 4, kInk);
}

void drawControl(PluginView &v, cairo_t *cr, int index) {
    const PanelItem &item = panelItem(index);
    const PanelRect &r = item.rect;
    const ControlPort &c = *controlPort(item.port);
    fill(cr, r, kFace);
    const double cy = r.y + r.height / 2.0;
    text(cr, c.name, r.x, cy + 4, kInk);
    const PanelRect box = controlBox(item);
    const int32_t value = portValue(v, item.port);
    char shown[16];
    controlValueText(c, value, shown, sizeof shown);
    if (isToggle(item.port)) {
        cairo_rectangle(cr, box.x + 0.5, box.y + 0.5, box.width - 1, box.height - 1);
        setColour(cr, kWhite);
        cairo_fill_preserve(cr);
        setColour(cr, kEdge);
        cairo_set_line_width(cr, 1.0);
        cairo_stroke(cr);
        if (value) {
            cairo_move_to(cr, box.x + 3, box.y + box.height / 2);
            cairo_line_to(cr, box.x + box.width * 0.42, box.y + box.height - 4);
            cairo_line_to(cr, box.x + box.width - 3, box.y + 3);
            setColour(cr, kGreen);
            cairo_set_line_width(cr, 2.0);
            cairo_stroke(cr);
        }
        return;
    }
    // The track, filled from its minimum to the value, and the thumb.
    const double fraction =
        static_cast<double>(value - c.range.min) / static_cast<double>(c.range.max - c.range.min);
    const double ty = cy - 2, th = 4;
    cairo_rectangle(cr, box.x, ty, box.width, th);
    setColour(cr, 0xC8C8C8);
    cairo_fill(cr);
    cairo_rectangle(cr, box.x, ty, box.width * fraction, th);
    setColour(cr, kGreen);
    cairo_fill(cr);
    const double tx = box.x + box.width * fraction;
    cairo_rectangle(cr, tx - 4 + 0.5, cy - 7 + 0.5, 8 - 1, 14 - 1);
    setColour(cr, v.moving == index ? 0xF8F8F8 : kWhite);
    cairo_fill_preserve(cr);
    setColour(cr, v.moving == index ? kGreen : kEdge);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    // The value, bold while it moves.
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           v.moving == index ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    text(cr, shown, r.x + r.width, cy + 4, v.moving == index ? kInk : kFaint, true);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
}

// "Tuning: NAME", or what the file chooser does.
void drawTuningName(PluginView &v, cairo_t *cr) {
    const PanelRect &r = panelItem(kTuningNameItem).rect;
    fill(cr, r, kFace);
    const double y = r.y + r.height / 2.0 + 4;
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    text(cr, "Tuning", r.x, y, kInk);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_save(cr);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_clip(cr);
    text(cr, v.tuningNote ? v.tuningNote : v.tuningName, r.x + 60, y, v.tuningNote ? kFaint : kInk);
    cairo_restore(cr);
}

// A button of the tuning's row: faint while a file chooser shows, or where
// the plugin takes no tuning's files.
void drawButton(PluginView &v, cairo_t *cr, const PanelItem &item) {
    const PanelRect &r = item.rect;
    fill(cr, r, kFace);
    const bool live = v.host.setTuningFiles && !v.chooser;
    cairo_rectangle(cr, r.x + 0.5, r.y + 2.5, r.width - 1, r.height - 5);
    setColour(cr, kWhite);
    cairo_fill_preserve(cr);
    setColour(cr, kEdge);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    cairo_text_extents_t e;
    cairo_set_font_size(cr, kTextSize);
    cairo_text_extents(cr, item.caption, &e);
    text(cr, item.caption, r.x + (r.width - e.x_advance) / 2, r.y + r.height / 2.0 + 4,
         live ? kInk : kFaint);
}

void drawItem(PluginView &v, cairo_t *cr, int index) {
    const PanelItem &item = panelItem(index);
    switch (item.kind) {
    case PanelItem::rangeBar:
        drawRangeBar(v, cr);
        break;
    case PanelItem::picture:
        drawPicture(v, cr);
        break;
    case PanelItem::option:
        drawOption(v, cr, item.operation);
        break;
    case PanelItem::slider:
    case PanelItem::toggle:
        drawControl(v, cr, index);
        break;
    case PanelItem::tuningName:
        drawTuningName(v, cr);
        break;
    case PanelItem::button:
        drawButton(v, cr, item);
        break;
    }
}

// The tuning's row drawn again: its name and its buttons.
void markTuningRow(PluginView &v) {
    for (int i = kTuningNameItem; i < kPanelItemCount; ++i)
        markDirty(v, i);
}

// A button pressed: the desktop's file chooser for a scale or a keyboard
// map, which the panel then polls as it idles; or 12-TET at once.
void pressButton(PluginView &v, TuningAction action) {
    if (!v.host.setTuningFiles || v.chooser)
        return;
    if (action == TuningAction::twelveTet) {
        v.host.setTuningFiles(v.host.handle, "", "");
        return;
    }
    const bool scale = action == TuningAction::chooseScale;
    v.chooser = startFileChooser({scale ? "Choose a Scala scale" : "Choose a Scala keyboard map",
                                  scale ? "Scala scales" : "Scala keyboard maps",
                                  scale ? "*.scl" : "*.kbm", v.window});
    v.choosing = action;
    v.tuningNote = !v.chooser ? "No file chooser could be started"
                   : scale    ? "Choosing a scale\u2026"
                              : "Choosing a keyboard map\u2026";
    markTuningRow(v);
}

// The file chooser's answer, once the player gave it: the file to the plugin.
void takeChosenFile(PluginView &v) {
    std::string path;
    const FileChooserAnswer answer =
        v.chooser ? pollFileChooser(v.chooser, path) : FileChooserAnswer::waiting;
    if (answer == FileChooserAnswer::waiting)
        return;
    closeFileChooser(v.chooser);
    v.chooser = nullptr;
    v.tuningNote = nullptr;
    if (answer == FileChooserAnswer::unavailable) {
        v.tuningNote = "No file chooser (a desktop portal, zenity or kdialog)";
        std::fprintf(stderr, "ondrilux: no file chooser answered (the desktop's portal, zenity, "
                             "kdialog): the tuning stays as it was\n");
    } else if (answer == FileChooserAnswer::chosen) {
        const bool scale = v.choosing == TuningAction::chooseScale;
        v.host.setTuningFiles(v.host.handle, scale ? path.c_str() : nullptr,
                              scale ? nullptr : path.c_str());
    }
    markTuningRow(v);
}

cairo_t *backContext(PluginView &v) {
    cairo_t *cr = cairo_create(v.back);
    cairo_scale(cr, v.scale, v.scale);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    return cr;
}

// The panel's background, captions and every item: once, at the start.
void drawWhole(PluginView &v) {
    cairo_t *cr = backContext(v);
    fill(cr, {0, 0, kPanelWidth, kPanelHeight}, kFace);
    for (const PanelCaption &c : kPanelCaptions) {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
        text(cr, c.text, c.x, c.y, kInk);
    }
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    for (int i = 0; i < kPanelItemCount; ++i)
        drawItem(v, cr, i);
    cairo_destroy(cr);
    cairo_surface_flush(v.back);
}

// Pixels of a panel rectangle at the scale, grown to whole pixels.
PanelRect toPixels(const PluginView &v, const PanelRect &r) {
    const double x0 = std::floor(r.x * v.scale), y0 = std::floor(r.y * v.scale);
    const double x1 = std::ceil((r.x + r.width) * v.scale),
                 y1 = std::ceil((r.y + r.height) * v.scale);
    return {x0, y0, x1 - x0, y1 - y0};
}

void showOnScreen(PluginView &v, const PanelRect &pixels) {
    const auto x = static_cast<int>(pixels.x), y = static_cast<int>(pixels.y);
    XPutImage(v.display, v.window, v.gc, v.image, x, y, x, y, static_cast<unsigned>(pixels.width),
              static_cast<unsigned>(pixels.height));
}

// Draws the dirty items into the panel and shows them and what was exposed.
void redraw(PluginView &v) {
    bool any = false;
    cairo_t *cr = nullptr;
    for (int i = 0; i < kPanelItemCount; ++i) {
        if (!v.dirty[i])
            continue;
        if (!cr)
            cr = backContext(v);
        drawItem(v, cr, i);
        any = true;
    }
    if (cr) {
        cairo_destroy(cr);
        cairo_surface_flush(v.back);
    }
    for (int i = 0; i < kPanelItemCount && any; ++i)
        if (v.dirty[i]) {
            showOnScreen(v, toPixels(v, panelItem(i).rect));
            v.dirty[i] = false;
        }
    if (v.anyExposed)
        showOnScreen(v, v.exposed);
    if (any || v.anyExposed)
        XFlush(v.display);
    v.anyExposed = false;
}

void write(PluginView &v, PluginPort port, int32_t value) {
    const ControlPort &c = *controlPort(port);
    value = std::clamp(value, c.range.min, c.range.max);
    if (portValue(v, port) == value && !std::isnan(v.values[port]))
        return;
    v.values[port] = static_cast<float>(value);
    markPort(v, port);
    if (v.host.writeControl)
        v.host.writeControl(v.host.handle, port, static_cast<float>(value));
}

void touch(PluginView &v, PluginPort port, bool grabbed) {
    if (v.host.touchControl)
        v.host.touchControl(v.host.handle, port, grabbed);
}

// Within 4 rows of the edge: near enough to take hold of it, as in the window.
bool withinGrab(int32_t edge, int32_t row) {
    return edge - 5 < row && row < edge + 5;
}

int32_t barRow(double y) {
    return static_cast<int32_t>(std::floor(y - (panelItem(kRangeBarItem).rect.y + 2)));
}

// A held edge follows the pointer only within its limits; the top edge wins a tie.
void dragRange(PluginView &v, double y) {
    const int32_t row = barRow(y);
    if (!v.heldTop && !v.heldBottom) {
        if (withinGrab(portValue(v, kRangeTopPort), row)) {
            v.heldTop = true;
            touch(v, kRangeTopPort, true);
        } else if (withinGrab(portValue(v, kRangeBottomPort), row)) {
            v.heldBottom = true;
            touch(v, kRangeBottomPort, true);
        }
    }
    if (v.heldTop && inRange(kRangeTopControl, row))
        write(v, kRangeTopPort, row);
    if (v.heldBottom && inRange(kRangeBottomControl, row))
        write(v, kRangeBottomPort, row);
}

void slideTo(PluginView &v, int index, double x) {
    const PanelItem &item = panelItem(index);
    const ControlPort &c = *controlPort(item.port);
    const PanelRect box = controlBox(item);
    const double fraction = std::clamp((x - box.x) / box.width, 0.0, 1.0);
    write(v, item.port,
          c.range.min + static_cast<int32_t>(std::lrint(fraction * (c.range.max - c.range.min))));
}

void setDefault(PluginView &v, int index) {
    const PanelItem &item = panelItem(index);
    if (item.kind == PanelItem::rangeBar) {
        write(v, kRangeTopPort, kRangeTopControl.initial);
        write(v, kRangeBottomPort, kRangeBottomControl.initial);
    } else if (item.kind == PanelItem::option) {
        write(v, kOperationPort, kOperationControl.initial);
    } else if (item.kind == PanelItem::slider || item.kind == PanelItem::toggle) {
        write(v, item.port, controlPort(item.port)->range.initial);
    }
}

void release(PluginView &v) {
    if (v.held < 0)
        return;
    const PanelItem &item = panelItem(v.held);
    if (item.kind == PanelItem::rangeBar) {
        if (v.heldTop)
            touch(v, kRangeTopPort, false);
        if (v.heldBottom)
            touch(v, kRangeBottomPort, false);
        v.heldTop = v.heldBottom = false;
    } else if (item.kind == PanelItem::slider) {
        touch(v, item.port, false);
    }
    if (v.moving >= 0)
        markDirty(v, v.moving);
    v.moving = -1;
    v.held = -1;
}

// One wheel step: a slider by a hundredth of its range (1 at least), the
// operations one on, a range edge (the nearer) one row.
void wheel(PluginView &v, int index, int direction, double y) {
    const PanelItem &item = panelItem(index);
    if (item.kind == PanelItem::slider) {
        const ControlRange &range = controlPort(item.port)->range;
        const int32_t step = std::max(1, (range.max - range.min) / 100);
        write(v, item.port, portValue(v, item.port) + direction * step);
    } else if (item.kind == PanelItem::option) {
        write(v, kOperationPort, portValue(v, kOperationPort) - direction);
    } else if (item.kind == PanelItem::rangeBar) {
        const int32_t row = barRow(y), top = portValue(v, kRangeTopPort),
                      bottom = portValue(v, kRangeBottomPort);
        const bool nearTop = std::abs(row - top) <= std::abs(row - bottom);
        write(v, nearTop ? kRangeTopPort : kRangeBottomPort, (nearTop ? top : bottom) - direction);
    }
}

void press(PluginView &v, const XButtonEvent &e) {
    const double x = e.x / v.scale, y = e.y / v.scale;
    const int index = panelItemAt(x, y);
    if (e.button == Button4 || e.button == Button5) {
        if (index >= 0 && v.held < 0)
            wheel(v, index, e.button == Button4 ? 1 : -1, y);
        return;
    }
    if (e.button != Button1 || index < 0)
        return;
    release(v);
    const bool doubleClick = index == v.lastPressItem && e.time - v.lastPressTime < kDoubleClickMs;
    v.lastPressItem = doubleClick ? -1 : index;
    v.lastPressTime = e.time;
    if (doubleClick) {
        setDefault(v, index);
        return;
    }
    const PanelItem &item = panelItem(index);
    switch (item.kind) {
    case PanelItem::rangeBar:
        v.held = index;
        dragRange(v, y);
        break;
    case PanelItem::option:
        write(v, kOperationPort, item.operation);
        break;
    case PanelItem::toggle:
        write(v, item.port, portValue(v, item.port) ? 0 : 1);
        break;
    case PanelItem::slider:
        v.held = v.moving = index;
        touch(v, item.port, true);
        slideTo(v, index, x);
        markDirty(v, index);
        break;
    case PanelItem::button:
        pressButton(v, item.action);
        break;
    case PanelItem::picture:
    case PanelItem::tuningName:
        break;
    }
}

void handle(PluginView &v, const XEvent &e) {
    switch (e.type) {
    case Expose: {
        const PanelRect r{static_cast<double>(e.xexpose.x), static_cast<double>(e.xexpose.y),
                          static_cast<double>(e.xexpose.width),
                          static_cast<double>(e.xexpose.height)};
        if (!v.anyExposed) {
            v.exposed = r;
        } else { // the union of the two
            const double x0 = std::min(v.exposed.x, r.x), y0 = std::min(v.exposed.y, r.y);
            const double x1 = std::max(v.exposed.x + v.exposed.width, r.x + r.width);
            const double y1 = std::max(v.exposed.y + v.exposed.height, r.y + r.height);
            v.exposed = {x0, y0, x1 - x0, y1 - y0};
        }
        v.anyExposed = true;
        break;
    }
    case ButtonPress:
        press(v, e.xbutton);
        break;
    case ButtonRelease:
        if (e.xbutton.button == Button1)
            release(v);
        break;
    case MotionNotify:
        if (v.held < 0)
            break;
        if (panelItem(v.held).kind == PanelItem::rangeBar)
            dragRange(v, e.xmotion.y / v.scale);
        else
            slideTo(v, v.held, e.xmotion.x / v.scale);
        break;
    case DestroyNotify:
        if (e.xdestroywindow.window == v.window)
            v.gone = true;
        break;
    default:
        break;
    }
}

} // namespace

PluginView *createPluginView(unsigned long parent, double scale, PluginViewHost host,
                             const char **error) {
    const char *unused = nullptr;
    const char *&why = error ? *error : unused;
    if (parent == 0) {
        why = "no parent window to open the panel in";
        return nullptr;
    }
    if (scale != 0.0 && !(scale >= kMinScale && scale <= kMaxScale)) {
        why = "scale factor outside 0.5 to 4";
        return nullptr;
    }
    Display *display = openPanelDisplay();
    if (!display) {
        why = "cannot open the X display";
        return nullptr;
    }
    if (scale == 0.0)
        scale = desktopScale(display);
    XWindowAttributes parentAttributes;
    tXError = false;
    if (!XGetWindowAttributes(display, parent, &parentAttributes) || tXError) {
        XCloseDisplay(display);
        why = "the parent window does not exist";
        return nullptr;
    }
    auto *v = new (std::nothrow) PluginView;
    if (!v) {
        XCloseDisplay(display);
        why = "out of memory";
        return nullptr;
    }
    v->host = host;
    v->scale = scale;
    v->display = display;
    v->width = static_cast<uint32_t>(std::lrint(kPanelWidth * scale));
    v->height = static_cast<uint32_t>(std::lrint(kPanelHeight * scale));
    v->window = XCreateSimpleWindow(display, parent, 0, 0, v->width, v->height, 0, 0, 0xECECEC);
    XSelectInput(display, v->window,
                 ExposureMask | ButtonPressMask | ButtonReleaseMask | ButtonMotionMask |
                     StructureNotifyMask);
    XMapRaised(display, v->window);
    if (!checkedSync(display)) {
        XCloseDisplay(display);
        delete v;
        why = "the panel's window could not be made";
        return nullptr;
    }
    // cairo draws into memory and Xlib sends its pixels: cairo's own Xlib
    // surfaces swap the process's error handler while they probe the server.
    // Opaque, so that a window of depth 32 shows them whole.
    v->back = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(v->width),
                                         static_cast<int>(v->height));
    v->gc = XCreateGC(display, v->window, 0, nullptr);
    if (cairo_surface_status(v->back) == CAIRO_STATUS_SUCCESS)
        v->image = XCreateImage(display, parentAttributes.visual,
                                static_cast<unsigned>(parentAttributes.depth), ZPixmap, 0,
                                reinterpret_cast<char *>(cairo_image_surface_get_data(v->back)),
                                v->width, v->height, 32, cairo_image_surface_get_stride(v->back));
    if (!v->image || v->image->bits_per_pixel != 32 || !takesCairoPixels(parentAttributes)) {
        destroyPluginView(v);
        why = "the display's colours are not 24-bit true colour";
        return nullptr;
    }
    v->image->byte_order = // cairo's words, in the machine's byte order
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? LSBFirst : MSBFirst;
    for (const ControlPort &c : kControlPorts)
        v->values[c.index] = static_cast<float>(c.range.initial);
    initSynthState(v->picture);
    shapePicture(*v);
    drawWhole(*v);
    return v;
}

void destroyPluginView(PluginView *view) {
    if (!view)
        return;
    release(*view); // a drag cut short still lets go of its control
    closeFileChooser(view->chooser);
    if (view->image) {
        view->image->data = nullptr; // cairo's
        XDestroyImage(view->image);
    }
    if (view->back)
        cairo_surface_destroy(view->back);
    if (view->gc)
        XFreeGC(view->display, view->gc);
    if (!view->gone) { // the host may have taken the window with its own
        XDestroyWindow(view->display, view->window);
        checkedSync(view->display);
    }
    XCloseDisplay(view->display);
    delete view;
}

double pluginDesktopScale() {
    Display *display = openPanelDisplay();
    const double scale = display ? desktopScale(display) : 1.0;
    if (display)
        XCloseDisplay(display);
    return scale;
}

void showPluginView(PluginView *view, bool shown) {
    if (shown)
        XMapRaised(view->display, view->window);
    else
        XUnmapWindow(view->display, view->window);
    XSync(view->display, False);
}

unsigned long pluginViewWindow(const PluginView *view) {
    return view->window;
}

int pluginViewConnection(const PluginView *view) {
    return ConnectionNumber(view->display);
}

void pluginViewSize(const PluginView *view, uint32_t &width, uint32_t &height) {
    width = view->width;
    height = view->height;
}

void showPluginControl(PluginView *view, uint32_t port, float value) {
    if (port >= kPortCount || (port != kLevelPort && !controlPort(port)))
        return;
    if (view->values[port] == value)
        return;
    // A move the host echoes back while the player drags changes nothing drawn.
    view->values[port] = value;
    markPort(*view, port);
}

void showPluginTuningName(PluginView *view, const char *name) {
    if (std::strncmp(view->tuningName, name, sizeof view->tuningName - 1) == 0)
        return;
    std::snprintf(view->tuningName, sizeof view->tuningName, "%s", name);
    markDirty(*view, kTuningNameItem);
}

bool idlePluginView(PluginView *view) {
    if (view->gone)
        return false;
    takeChosenFile(*view);
    while (XPending(view->display) > 0) {
        XEvent e;
        XNextEvent(view->display, &e);
        handle(*view, e);
    }
    if (view->gone)
        return false;
    redraw(*view);
    return true;
}
