#include "plugins/controls/value_text.h"

#include "engine/operation_names.h"

#include <algorithm>
#include <cstdio>

namespace {

// The words a value is shown with; nullptr where it is shown as a number.
const char *wordsFor(const ControlPort &c, int32_t v) {
    if (c.index == kOperationPort)
        return operationName(v).shortName;
    if (c.index == kChannelPort && v == 0)
        return "All";
    if (isToggle(c.index))
        return v ? "On" : "Off";
    return nullptr;
}

} // namespace

bool parseInteger(std::string_view s, int32_t &v) {
    const bool negative = s.starts_with('-');
    if (negative)
        s.remove_prefix(1);
    if (s.empty() || s.size() > 9)
        return false;
    int32_t n = 0;
    for (const char digit : s) {
        if (digit < '0' || digit > '9')
            return false;
        n = n * 10 + (digit - '0');
    }
    v = negative ? -n : n;
    return true;
}

void controlValueText(const ControlPort &c, int32_t v, char *text, size_t size) {
    if (size == 0)
        return;
    if (const char *words = wordsFor(c, v))
        std::snprintf(text, size, "%s", words);
    else
        std::snprintf(text, size, "%d", v);
}

bool controlValueFromText(const ControlPort &c, std::string_view text, int32_t &v) {
    for (int32_t candidate = c.range.min; candidate <= c.range.max; ++candidate)
        if (const char *words = wordsFor(c, candidate); words && text == words) {
            v = candidate;
            return true;
        }
    int32_t n = 0;
    if (!parseInteger(text, n))
        return false;
    v = std::clamp(n, c.range.min, c.range.max);
    return true;
}
