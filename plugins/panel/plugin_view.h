#pragma once

#include <cstdint>

// The plugin's own panel, drawn with cairo on Xlib inside a host's window: one
// core that every format's wrapper (LV2's X11 UI, CLAP's gui extension, VST3's
// IPlugView) embeds.
// Every call comes from the host's UI thread.

struct PluginView;

// What the panel asks of its wrapper: write a control through the host (a
// port index of plugins/controls/control_ports.h, a value in its range), say
// when the player grabs and lets go of it (for the host's undo and
// automation), and set the tuning's Scala files the player chose: a path, ""
// for none, or null to keep that file (12-TET is both "").
struct PluginViewHost {
    void *handle;
    void (*writeControl)(void *handle, uint32_t port, float value);
    void (*touchControl)(void *handle, uint32_t port, bool grabbed); // may be null
    void (*setTuningFiles)(void *handle, const char *scalePath,
                           const char *keyboardMapPath) = nullptr; // null: no tuning's buttons
};

// The desktop's scale, as a panel opened with `scale` 0 takes it: 1 without
// a display.
double pluginDesktopScale();

// Opens the panel as a child of the X11 window `parent`, at `scale` times its
// size (a host's scale factor; refused outside 0.5 to 4), or with `scale` 0 at
// the desktop's (its Xft.dpi over 96, 1 without). Null, with the reason in
// `error` (a static text), when it cannot.
PluginView *createPluginView(unsigned long parent, double scale, PluginViewHost host,
                             const char **error);
void destroyPluginView(PluginView *view);

// The panel's own X11 window, and its size in pixels at its scale.
unsigned long pluginViewWindow(const PluginView *view);
// The file descriptor of the panel's connection to the X server: readable
// when its window has events for idlePluginView (for a host's run loop).
int pluginViewConnection(const PluginView *view);
void pluginViewSize(const PluginView *view, uint32_t &width, uint32_t &height);

// A control's value as the host has it now (automation, a preset, undo, or
// the echo of the panel's own write), by port index; the output port of the
// sound's level feeds the live picture.
void showPluginControl(PluginView *view, uint32_t port, float value);

// The name of the tuning in force ("12-TET" for the synth's own), as the
// plugin tells it.
void showPluginTuningName(PluginView *view, const char *name);

// Shows or hides the panel's window, as the host shows or hides its own.
void showPluginView(PluginView *view, bool shown);

// Takes the window's pending events and the file chooser's answer, and
// redraws what changed. Returns false once the panel's window is gone.
bool idlePluginView(PluginView *view);
