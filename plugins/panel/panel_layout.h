#pragma once

#include "engine/waveshaper.h"
#include "plugins/controls/control_ports.h"

#include <cstdint>
#include <iterator>

// Where everything stands on the plugin's panel, in units of its size at
// scale 1 (the panel draws at the host's scale factor times these). The range
// bar is the window's: 20 x 250 with a 2-unit sunken border, so a row of its
// surface is a range edge's value.

inline constexpr double kPanelWidth = 896, kPanelHeight = 466;
inline constexpr double kMinScale = 0.5, kMaxScale = 4.0;
inline constexpr double kTextSize = 12;
// Points of the live picture across one period.
inline constexpr int kPictureSamples = 240;

struct PanelRect {
    double x, y, width, height;
    constexpr bool contains(double px, double py) const {
        return x <= px && px < x + width && y <= py && py < y + height;
    }
};

// What a button of the tuning's row does: choose a scale or a keyboard map
// with the desktop's file chooser, or go back to the synth's own 12-TET.
enum class TuningAction { none, chooseScale, chooseKeyboardMap, twelveTet };

struct PanelItem {
    enum Kind { rangeBar, picture, option, slider, toggle, tuningName, button } kind;
    PanelRect rect;
    PluginPort port;                          // the control a slider or toggle shows
    int32_t operation;                        // the operation an option selects
    TuningAction action = TuningAction::none; // a button's
    const char *caption = nullptr;            // a button's
};

struct PanelCaption {
    const char *text;
    double x, y; // baseline
};

inline constexpr double kTopRow = 36;       // the range bar's, picture's and operations' top
inline constexpr double kOptionHeight = 19; // an operation's row
inline constexpr double kControlsTop = 312; // the sliders' first row
inline constexpr double kControlHeight = 26;
inline constexpr double kColumnWidth = 280;
inline constexpr double kTuningTop = 426; // the tuning's row, below the controls

namespace panel_detail {
constexpr PanelItem option(int32_t op) {
    return {PanelItem::option,
            {312, kTopRow + (op - 1) * kOptionHeight, 570, kOptionHeight},
            kOperationPort,
            op};
}
constexpr PanelItem control(PluginPort port, int column, int row) {
    return {isToggle(port) ? PanelItem::toggle : PanelItem::slider,
            {16 + column * (kColumnWidth + 10), kControlsTop + row * kControlHeight, kColumnWidth,
             kControlHeight},
            port,
            0};
}
// The tuning's name, left of its three buttons.
constexpr PanelItem tuning() {
    return {PanelItem::tuningName, {16, kTuningTop, 440, kControlHeight}, kLevelPort, 0};
}
constexpr PanelItem button(int index, TuningAction action, const char *caption) {
    return {PanelItem::button,
            {466 + index * 140.0, kTuningTop, 130, kControlHeight},
            kLevelPort,
            0,
            action,
            caption};
}
} // namespace panel_detail

inline constexpr PanelItem kPanelItems[] = {
    {PanelItem::rangeBar, {16, kTopRow, 20, 250}, kRangeTopPort, 0},
    {PanelItem::picture, {60, kTopRow, 236, 250}, kLevelPort, 0},
    panel_detail::option(1),
    panel_detail::option(2),
    panel_detail::option(3),
    panel_detail::option(4),
    panel_detail::option(5),
    panel_detail::option(6),
    panel_detail::option(7),
    panel_detail::option(8),
    panel_detail::option(9),
    panel_detail::option(10),
    panel_detail::option(11),
    panel_detail::option(12),
    panel_detail::option(13),
    panel_detail::control(kStaticValuePort, 0, 0),
    panel_detail::control(kBendRangePort, 0, 1),
    panel_detail::control(kVelocityPort, 0, 2),
    panel_detail::control(kChannelPort, 0, 3),
    panel_detail::control(kAttackPort, 1, 0),
    panel_detail::control(kDecayPort, 1, 1),
    panel_detail::control(kSustainPort, 1, 2),
    panel_detail::control(kReleasePort, 1, 3),
    panel_detail::control(kGlidePort, 2, 0),
    panel_detail::control(kGlideLegatoPort, 2, 1),
    panel_detail::control(kQuickStartPort, 2, 2),
    panel_detail::tuning(),
    panel_detail::button(0, TuningAction::chooseScale, "Scale\u2026"),
    panel_detail::button(1, TuningAction::chooseKeyboardMap, "Keyboard map\u2026"),
    panel_detail::button(2, TuningAction::twelveTet, "12-TET"),
};
inline constexpr int kPanelItemCount = static_cast<int>(std::size(kPanelItems));
inline constexpr int kRangeBarItem = 0, kPictureItem = 1, kTuningNameItem = 26;
static_assert(kPanelItems[kTuningNameItem].kind == PanelItem::tuningName);

inline constexpr PanelCaption kPanelCaptions[] = {
    {"Range", 12, kTopRow - 10},
    {"The sound now", 60, kTopRow - 10},
    {"Bit operation", 312, kTopRow - 10},
    {"Sound", 16, kControlsTop - 8},
    {"Envelope", 16 + kColumnWidth + 10, kControlsTop - 8},
    {"Glide and start", 16 + 2 * (kColumnWidth + 10), kControlsTop - 8},
};

constexpr const PanelItem &panelItem(int index) {
    return kPanelItems[index];
}

constexpr int operationItem(int32_t op) {
    return kPictureItem + op;
}

// The slider or toggle showing `port`, or -1.
constexpr int controlItem(uint32_t port) {
    for (int i = 0; i < kPanelItemCount; ++i)
        if ((kPanelItems[i].kind == PanelItem::slider ||
             kPanelItems[i].kind == PanelItem::toggle) &&
            kPanelItems[i].port == port)
            return i;
    return -1;
}

// The item under the point (panel units), or -1.
constexpr int panelItemAt(double x, double y) {
    for (int i = 0; i < kPanelItemCount; ++i)
        if (kPanelItems[i].rect.contains(x, y))
            return i;
    return -1;
}

// A slider's track, or a toggle's box, inside its item: right of its name,
// left of its value.
constexpr PanelRect controlBox(const PanelItem &item) {
    const PanelRect &r = item.rect;
    if (item.kind == PanelItem::toggle)
        return {r.x + 150, r.y + r.height / 2 - 7, 14, 14};
    return {r.x + 150, r.y, r.width - 150 - 44, r.height};
}
