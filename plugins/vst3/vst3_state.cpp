// The VST3 plugin's state: the controls in the text every format saves (so a
// song saved with the CLAP or LV2 plugin's state opens here), written by the
// component and read by it and by the controller alike.
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

// The controls of the state in `stream`, into `to`; nothing for anything else.
v3_result load(v3_bstream **stream, std::atomic<float> (&to)[kPortCount]) {
    int32_t values[kPortCount];
    if (!readVst3State(stream, values))
        return V3_FALSE;
    for (const ControlPort &c : kControlPorts)
        to[c.index].store(static_cast<float>(values[c.index]), std::memory_order_relaxed);
    return V3_OK;
}

} // namespace

bool readVst3State(v3_bstream **stream, int32_t (&values)[kPortCount]) {
    std::string text(kMaxStateBytes + 1, '\0');
    size_t size = 0;
    for (int32_t n = 0; stream && size < text.size(); size += static_cast<size_t>(n)) {
        const auto room = static_cast<int32_t>(text.size() - size);
        if (v3_cpp_obj(stream)->read(stream, text.data() + size, room, &n) != V3_OK || n <= 0)
            break;
        n = std::min(n, room);
    }
    if (parseControlState(std::string_view(text.data(), size), values))
        return true;
    std::fprintf(stderr,
                 "ondrilux: the host's state (%zu bytes) is not one this plugin saves: the "
                 "controls stay as they were\n",
                 size);
    return false;
}

v3_result V3_API getComponentState(void *self, v3_bstream **stream) {
    int32_t values[kPortCount] = {};
    valuesOf(ownerOf<Vst3Plugin>(self).played, values);
    std::string text = controlStateText(values);
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

// The processor plays the state's controls from its next block.
v3_result V3_API setComponentState(void *self, v3_bstream **stream) {
    return load(stream, ownerOf<Vst3Plugin>(self).played);
}

// The controller takes the component's state, as the host hands it over.
v3_result V3_API setControllerComponentState(void *self, v3_bstream **stream) {
    return load(stream, ownerOf<Vst3Plugin>(self).shown);
}

// The controller keeps nothing of its own beside the component's state.
v3_result V3_API getControllerState(void *, v3_bstream **) {
    return V3_OK;
}

v3_result V3_API setControllerState(void *, v3_bstream **) {
    return V3_OK;
}
