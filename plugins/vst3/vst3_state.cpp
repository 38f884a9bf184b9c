// The VST3 plugin's state: the controls and the tuning's files in the text
// every format saves (so a song saved with the CLAP plugin's state opens
// here), written by the component and read by it and by the controller alike.
#include "plugins/vst3/vst3_plugin.h"

#include "plugins/controls/state_text.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Each control's value as the engine takes it.
void valuesOf(const std::atomic<float> (&from)[kPortCount], int32_t (&values)[kPortCount]) {
    for (const ControlPort &c : kControlPorts)
        values[c.index] = controlPortValue(c, from[c.index].load(std::memory_order_relaxed));
}

// The controls of the state in `stream`, into `to`, and with `tuned` its
// tuning; nothing for anything else. The processor plays the tuning, the
// controller only shows the controls.
v3_result load(Vst3Plugin &p, v3_bstream **stream, std::atomic<float> (&to)[kPortCount],
               bool tuned) {
    int32_t values[kPortCount];
    TuningFileTexts files;
    if (!readVst3State(stream, values, files) ||
        (tuned && !handHostTuningFiles(p.engine, p.tuningFiles, files)))
        return V3_FALSE;
    for (const ControlPort &c : kControlPorts)
        to[c.index].store(static_cast<float>(values[c.index]), std::memory_order_relaxed);
    return V3_OK;
}

} // namespace

bool readVst3State(v3_bstream **stream, int32_t (&values)[kPortCount], TuningFileTexts &files) {
    std::string text;
    char piece[65536];
    for (int32_t n = 0; stream && text.size() <= kMaxStateBytes;) {
        if (v3_cpp_obj(stream)->read(stream, piece, sizeof piece, &n) != V3_OK || n <= 0)
            break;
        text.append(piece, static_cast<size_t>(std::min<int32_t>(n, sizeof piece)));
    }
    if (parsePluginState(text, values, files))
        return true;
    std::fprintf(stderr,
                 "ondrilux: the host's state (%zu bytes) is not one this plugin saves: the "
                 "controls stay as they were\n",
                 text.size());
    return false;
}

v3_result V3_API getComponentState(void *self, v3_bstream **stream) {
    const Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    int32_t values[kPortCount] = {};
    valuesOf(p.played, values);
    std::string text = pluginStateText(values, p.tuningFiles); // the stream writes from void *
    for (size_t written = 0; written < text.size();) {
        int32_t n = 0;
        if (!stream ||
            v3_cpp_obj(stream)->write(stream, text.data() + written,
                                      static_cast<int32_t>(text.size() - written), &n) != V3_OK ||
            n <= 0)
            return V3_FALSE;
        written += static_cast<size_t>(n);
    }
    return V3_OK;
}

// The processor plays the state's controls and tuning from its next block.
v3_result V3_API setComponentState(void *self, v3_bstream **stream) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    return load(p, stream, p.played, true);
}

// The controller takes the component's state, as the host hands it over.
v3_result V3_API setControllerComponentState(void *self, v3_bstream **stream) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    return load(p, stream, p.shown, false);
}

// The controller keeps nothing of its own beside the component's state.
v3_result V3_API getControllerState(void *, v3_bstream **) {
    return V3_OK;
}

v3_result V3_API setControllerState(void *, v3_bstream **) {
    return V3_OK;
}
