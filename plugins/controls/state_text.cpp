#include "plugins/controls/state_text.h"

#include "plugins/controls/value_text.h"

#include <cstdio>
#include <iterator>

namespace {

// The first line; a state of another version is refused.
constexpr std::string_view kStateHeader = "ondrilux-state 1\n";

} // namespace

std::string controlStateText(const int32_t (&values)[kPortCount]) {
    std::string text(kStateHeader);
    for (const ControlPort &c : kControlPorts) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %d\n", c.symbol, values[c.index]);
        text += line;
    }
    return text;
}

bool parseControlState(std::string_view text, int32_t (&values)[kPortCount]) {
    if (text.size() > kMaxStateBytes || !text.starts_with(kStateHeader))
        return false;
    text.remove_prefix(kStateHeader.size());
    bool seen[kPortCount] = {};
    size_t count = 0;
    for (size_t end; (end = text.find('\n')) != std::string_view::npos;
         text.remove_prefix(end + 1)) {
        const std::string_view line = text.substr(0, end);
        const size_t space = line.find(' ');
        const ControlPort *c = nullptr;
        for (const ControlPort &candidate : kControlPorts)
            if (line.substr(0, space) == candidate.symbol)
                c = &candidate;
        if (!c || space == std::string_view::npos || seen[c->index])
            return false;
        int32_t &v = values[c->index];
        if (!parseInteger(line.substr(space + 1), v) || !inRange(c->range, v))
            return false;
        seen[c->index] = true;
        ++count;
    }
    return text.empty() && count == std::size(kControlPorts);
}
