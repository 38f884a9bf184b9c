#include "plugins/controls/state_text.h"

#include "plugins/controls/value_text.h"

#include <cstdio>
#include <iterator>

namespace {

// The first line; a state of another version is refused.
constexpr std::string_view kStateHeader = "ondrilux-state 1\n";
constexpr std::string_view kScaleKey = "scale_text", kMapKey = "keyboard_map_text";

// "KEY N PATH\n", then the file's N bytes and "\n". A path holding a line's
// end could not be read back: it is left out.
void appendFile(std::string &text, std::string_view key, const std::string &path,
                const std::string &fileText) {
    text.append(key).append(" ").append(std::to_string(fileText.size()));
    if (!path.empty() && path.find('\n') == std::string::npos)
        text.append(" ").append(path);
    text.append("\n").append(fileText).append("\n");
}

// A file's line (`line`, after its key) and its bytes from the start of
// `rest`, which then goes on after them. False for a size that is no number,
// lies past the state's end, or is not followed by a line's end.
bool takeFile(std::string_view line, std::string_view &rest, std::string &path,
              std::string &fileText) {
    const size_t space = line.find(' ');
    int32_t size = 0;
    if (!parseInteger(line.substr(0, space), size) || size < 0 ||
        static_cast<size_t>(size) >= rest.size() || rest[static_cast<size_t>(size)] != '\n')
        return false;
    path = space == std::string_view::npos ? "" : std::string(line.substr(space + 1));
    fileText = std::string(rest.substr(0, static_cast<size_t>(size)));
    rest.remove_prefix(static_cast<size_t>(size) + 1);
    return true;
}

} // namespace

std::string pluginStateText(const int32_t (&values)[kPortCount], const TuningFileTexts &files) {
    std::string text(kStateHeader);
    for (const ControlPort &c : kControlPorts) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %d\n", c.symbol, values[c.index]);
        text += line;
    }
    if (files.hasScale())
        appendFile(text, kScaleKey, files.scalePath, files.scaleText);
    if (files.hasMap())
        appendFile(text, kMapKey, files.mapPath, files.mapText);
    return text;
}

bool parsePluginState(std::string_view text, int32_t (&values)[kPortCount],
                      TuningFileTexts &files) {
    files = {};
    if (text.size() > kMaxStateBytes || !text.starts_with(kStateHeader))
        return false;
    text.remove_prefix(kStateHeader.size());
    bool seen[kPortCount] = {}, scaleSeen = false, mapSeen = false;
    size_t count = 0;
    for (size_t end; (end = text.find('\n')) != std::string_view::npos;) {
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const size_t space = line.find(' ');
        const std::string_view key = line.substr(0, space), after = line.substr(space + 1);
        if (space != std::string_view::npos && (key == kScaleKey || key == kMapKey)) {
            bool &fileSeen = key == kScaleKey ? scaleSeen : mapSeen;
            if (fileSeen ||
                !(key == kScaleKey ? takeFile(after, text, files.scalePath, files.scaleText)
                                   : takeFile(after, text, files.mapPath, files.mapText)))
                return false;
            fileSeen = true;
            continue;
        }
        const ControlPort *c = nullptr;
        for (const ControlPort &candidate : kControlPorts)
            if (key == candidate.symbol)
                c = &candidate;
        if (!c || space == std::string_view::npos || seen[c->index])
            return false;
        int32_t &v = values[c->index];
        if (!parseInteger(after, v) || !inRange(c->range, v))
            return false;
        seen[c->index] = true;
        ++count;
    }
    return text.empty() && count == std::size(kControlPorts);
}
