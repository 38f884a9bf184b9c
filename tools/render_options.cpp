#include "tools/render_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr double kMaxTailSeconds = 60.0;

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
    switch (setSoundOption(name, value, options.sound, error)) {
    case SoundOptionResult::set:
        return true;
    case SoundOptionResult::error:
        return false;
    case SoundOptionResult::notSoundOption:
        break;
    }
    error = "unknown option '--" + std::string(name) + "'";
    return false;
}

} // namespace

std::string renderUsage() {
    return "Usage: ondrilux-render [OPTIONS] INPUT.mid OUTPUT.wav\n"
           "Plays a Standard MIDI File (format 0 or 1) through the Ondrilux sound engine and\n"
           "writes the sound as a mono WAV file of 32-bit floats at 48000 frames per second.\n"
           "\n"
           "Options (the window's controls, fixed for the whole render):\n" +
           soundOptionsUsage() +
           "  --tail SECONDS  time rendered after the file's last event, 0 to 60\n"
           "                  (default: the release time)\n"
           "  -h, --help      show this text\n"
           "  --version       show the version\n"
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
        if (arg == "--version")
            return OptionsResult::version;
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
        options.tailSeconds = options.sound.sliders.release / kMillisecondsPerSecond;
    return OptionsResult::render;
}
