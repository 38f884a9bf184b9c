// The CLAP plugin's state: the controls in the text every format saves.
#include "plugins/clap/clap_plugin.h"

#include "plugins/controls/state_text.h"

#include <string>

namespace {

bool saveState(const clap_plugin_t *plugin, const clap_ostream_t *stream) {
    const ClapPlugin &p = self(plugin);
    int32_t values[kPortCount] = {};
    for (const ControlPort &c : kControlPorts)
        values[c.index] = steppedValue(c, valueOf(p, c));
    const std::string text = controlStateText(values);
    for (size_t written = 0; written < text.size();) {
        const int64_t n = stream->write(stream, text.data() + written, text.size() - written);
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

bool loadState(const clap_plugin_t *plugin, const clap_istream_t *stream) {
    ClapPlugin &p = self(plugin);
    std::string text(kMaxStateBytes + 1, '\0');
    size_t size = 0;
    for (int64_t n; size < text.size() &&
                    (n = stream->read(stream, text.data() + size, text.size() - size)) != 0;) {
        if (n < 0)
            return false;
        size += static_cast<size_t>(n);
    }
    int32_t values[kPortCount];
    if (!parseControlState(std::string_view(text.data(), size), values))
        return false;
    for (const ControlPort &c : kControlPorts)
        p.values[c.index].store(values[c.index], std::memory_order_relaxed);
    if (p.hostParams)
        p.hostParams->rescan(p.host, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

} // namespace

const clap_plugin_state_t kClapState = {saveState, loadState};
