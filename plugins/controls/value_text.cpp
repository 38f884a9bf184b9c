#include "plugins/controls/value_text.h"

#include "engine/envelope.h"
#include "engine/operation_names.h"

#include <algorithm>
#include <charconv>
#include <cmath>
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

// "0.1 ms" to "9.9 ms", "10 ms" to "999 ms", then "1.00 s" to "3.00 s": about
// three digits, as the slider's steps (half a percent each) deserve.
void attackText(int32_t v, char *text, size_t size) {
    const double ms = attackMilliseconds(v);
    if (ms < 9.95)
        std::snprintf(text, size, "%.1f ms", ms);
    else if (ms < 999.5)
        std::snprintf(text, size, "%.0f ms", ms);
    else
        std::snprintf(text, size, "%.2f s", ms / kMillisecondsPerSecond);
}

// The attack's position whose time is nearest (by ratio) to `text`: a
// number, then "ms", "s" or nothing (ms), a space allowed between.
bool attackFromText(std::string_view text, int32_t &v) {
    double time = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), time);
    if (error != std::errc() || !std::isfinite(time))
        return false;
    std::string_view unit = text.substr(static_cast<size_t>(end - text.data()));
    if (unit.starts_with(' '))
        unit.remove_prefix(1);
    if (unit != "" && unit != "ms" && unit != "s")
        return false;
    const double ms = unit == "s" ? time * kMillisecondsPerSecond : time;
    const double position = std::log(ms / kAttackZeroMilliseconds) / std::log(kAttackStepRatio);
    v = ms > 0.0 ? static_cast<int32_t>(std::clamp(std::lrint(position), long{kAttackControl.min},
                                                   long{kAttackControl.max}))
                 : kAttackControl.min;
    return true;
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
    if (c.index == kAttackPort)
        attackText(v, text, size);
    else if (const char *words = wordsFor(c, v))
        std::snprintf(text, size, "%s", words);
    else
        std::snprintf(text, size, "%d", v);
}

bool controlValueFromText(const ControlPort &c, std::string_view text, int32_t &v) {
    if (c.index == kAttackPort)
        return attackFromText(text, v);
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
