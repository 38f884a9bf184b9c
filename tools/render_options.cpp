#include "tools/render_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// The slider ranges of the main window, and the range bar's rows.
struct IntegerOption {
    const char *name;
    int32_t RenderOptions::*field;
    int32_t EnvelopeSliders::*slider;
    int32_t min;
    int32_t max;
};

constexpr IntegerOption kIntegerOptions[] = {
    {"operation", &RenderOptions::operation, nullptr, 1, 13},
    {"static", &RenderOptions::staticValue, nullptr, 0, 100},
    {"top", &RenderOptions::rangeTop, nullptr, 2, 243},
    {"bottom", &RenderOptions::rangeBottom, nullptr, 4, 245},
    {"attack", nullptr, &EnvelopeSliders::attack, 1, 2000},
    {"decay", nullptr, &EnvelopeSliders::decay, 1, 5000},
    {"sustain", nullptr, &EnvelopeSliders::sustain, 0, 100},
    {"release", nullptr, &EnvelopeSliders::release, 1, 5000},
};

constexpr double kMaxTailSeconds = 60.0;

bool parseInteger(std::string_view text, int32_t &value) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc{} && ptr == end && !text.empty();
}

bool parseSeconds(const std::string &text, double &value) {
    if (text.empty() || std::strchr(" \t\n", text[0]))
        return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

bool setOption(std::string_view name, const std::string &value, RenderOptions &options,
               std::string &error) {
    const std::string quoted = "'" + value + "'";
    if (name == "tail") {
        double seconds;
        if (!parseSeconds(value, seconds)) {
            error = "--tail: " + quoted + " is not a number of seconds";
            return false;
        }
        if (seconds < 0.0 || seconds > kMaxTailSeconds) {
            error = "--tail: " + quoted + " is out of range (0 to 60 seconds)";
            return false;
        }
        options.tailSeconds = seconds;
        return true;
    }
    for (const IntegerOption &o : kIntegerOptions) {
        if (name != o.name)
            continue;
        const std::string flag = std::string("--") + o.name;
        int32_t v;
        if (!parseInteger(value, v)) {
            error = flag + ": " + quoted + " is not a whole number";
            return false;
        }
        if (v < o.min || v > o.max) {
            error = flag + ": " + quoted + " is out of range (" + std::to_string(o.min) + " to " +
                    std::to_string(o.max) + ")";
            return false;
        }
        if (o.field)
            options.*o.field = v;
        else
            options.sliders.*o.slider = v;
        return true;
    }
    error = "unknown option '--" + std::string(name) + "'";
    return false;
}

} // namespace

const char *renderUsage() {
    return "Usage: ondrilux-render [OPTIONS] INPUT.mid OUTPUT.wav\n"
           "Plays a Standard MIDI File (format 0 or 1) through the Ondrilux sound engine and\n"
           "writes the sound as a mono WAV file of 32-bit floats at 48000 frames per second.\n"
           "\n"
           "Options (the window's controls, fixed for the whole render):\n"
           "  --operation N   bit operation, 1 to 13 (default 1)\n"
           "  --static V      static value, 0 to 100 (default 50)\n"
           "  --top Y         top edge of the range, 2 to 243 (default 40)\n"
           "  --bottom Y      bottom edge of the range, 4 to 245 (default 90)\n"
           "  --attack A      attack slider, 1 to 2000 (default 1)\n"
           "  --decay D       decay slider in ms, 1 to 5000 (default 1000)\n"
           "  --sustain S     sustain slider in percent, 0 to 100 (default 50)\n"
           "  --release R     release slider in ms, 1 to 5000 (default 1500)\n"
           "  --tail SECONDS  time rendered after the file's last event, 0 to 60\n"
           "                  (default: the release time)\n"
           "  -h, --help      show this text\n"
           "\n"
           "Exit status: 0 done, 1 the output could not be written, 2 bad input or options.\n";
}

OptionsResult parseRenderOptions(int argc, char **argv, RenderOptions &options,
                                 std::string &error) {
    options = {};
    std::vector<std::string> paths;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            paths.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return OptionsResult::help;
        if (arg.rfind("--", 0) != 0) {
            error = "unknown option '" + arg + "'";
            return OptionsResult::error;
        }
        // --name value or --name=value
        std::string name = arg.substr(2);
        std::string value;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "option '" + arg + "' needs a value";
            return OptionsResult::error;
        }
        if (!setOption(name, value, options, error))
            return OptionsResult::error;
    }
    if (paths.size() != 2) {
        error = paths.size() < 2 ? "expected INPUT.mid and OUTPUT.wav (see --help)"
                                 : "too many arguments: expected INPUT.mid and OUTPUT.wav";
        return OptionsResult::error;
    }
    options.inputPath = paths[0];
    options.outputPath = paths[1];
    if (options.tailSeconds < 0.0)
        options.tailSeconds = options.sliders.release / 1000.0;
    return OptionsResult::render;
}
