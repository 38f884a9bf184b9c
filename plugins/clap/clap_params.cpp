// The CLAP plugin's parameters: the LV2 plugin's control ports, by index,
// with the words every format shows their values with.
#include "plugins/clap/clap_plugin.h"

#include "plugins/controls/value_text.h"

#include <cstdio>
#include <iterator>

namespace {

uint32_t paramCount(const clap_plugin_t *) {
    return static_cast<uint32_t>(std::size(kControlPorts));
}

bool paramInfo(const clap_plugin_t *, uint32_t index, clap_param_info_t *info) {
    if (index >= std::size(kControlPorts))
        return false;
    const ControlPort &c = kControlPorts[index];
    *info = clap_param_info_t{};
    info->id = c.index;
    info->flags = CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED;
    // The voice's own modulation acts on the note that sounds, the only one.
    if (isModulatable(c.index))
        info->flags |= CLAP_PARAM_IS_MODULATABLE | CLAP_PARAM_IS_MODULATABLE_PER_NOTE_ID |
                       CLAP_PARAM_IS_MODULATABLE_PER_KEY | CLAP_PARAM_IS_MODULATABLE_PER_CHANNEL;
    std::snprintf(info->name, sizeof info->name, "%s", c.name);
    info->min_value = c.range.min;
    info->max_value = c.range.max;
    info->default_value = c.range.initial;
    return true;
}

bool paramValue(const clap_plugin_t *plugin, clap_id id, double *value) {
    const ControlPort *c = controlPort(id);
    if (c) // as the engine takes it, without the host's modulation
        *value = steppedValue(*c, valueOf(self(plugin), *c));
    return c != nullptr;
}

bool valueToText(const clap_plugin_t *, clap_id id, double value, char *text, uint32_t size) {
    const ControlPort *c = controlPort(id);
    if (!c || size == 0)
        return false;
    controlValueText(*c, steppedValue(*c, value), text, size);
    return true;
}

bool textToValue(const clap_plugin_t *, clap_id id, const char *text, double *value) {
    const ControlPort *c = controlPort(id);
    int32_t v = 0;
    if (!c || !text || !controlValueFromText(*c, text, v))
        return false;
    *value = v;
    return true;
}

// The host's values and modulations while nothing plays, kept for the next
// block; the panel's acts to the host.
void flush(const clap_plugin_t *plugin, const clap_input_events_t *in,
           const clap_output_events_t *out) {
    ClapPlugin &p = self(plugin);
    const uint32_t count = in ? in->size(in) : 0;
    for (uint32_t i = 0; i < count; ++i)
        if (const clap_event_header_t *e = in->get(in, i))
            takeParamEvent(p, *e);
    sendPanelActs(p, out);
}

} // namespace

const clap_plugin_params_t kClapParams = {paramCount,  paramInfo,   paramValue,
                                          valueToText, textToValue, flush};
