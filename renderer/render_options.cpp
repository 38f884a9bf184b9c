#include "renderer/render_options.h"

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

OptionResult setOption(std::string_view name, const std::string &value, RenderOptions &options,
                       std::string &error) {
    if (name == "quick-start") {
        options.sound.quickStart = true;
        return OptionResult::set;
    }
    if (name == "expressive") {
        options.sound.expressive = true;
        return OptionResult::set;
    }
    if (name != "tail")
        return OptionResult::unknown;
    const std::string quoted = "'" + value + "'";
    double seconds;
    if (!parseSeconds(value, seconds)) {
        error = "--tail: " + quoted + " is not a number of seconds";
        return OptionResult::error;
    }
    if (seconds < 0.0 || seconds > kMaxTailSeconds) {
        error = "--tail: " + quoted + " is out of range (0 to 60 seconds)";
        return OptionResult::error;
    }
    options.tailSeconds = seconds;
    return OptionResult::set;
}

} // namespace

std::string renderUsage() {
    return "Usage: ondrilux-render [OPTIONS] INPUT.mid OUTPUT.wav\n"
           "Plays a Standard MIDI File (format 0 or 1) through the Ondrilux sound engine and\n"
           "writes the sound as a mono WAV file of 32-bit floats at 48000 frames per second.\n"
           "\n"
           "Options (the window's controls, fixed for the whole render):\n" +
           soundOptionsUsage() + tuningOptionsUsage() +
           "  --tail SECONDS  time rendered after the file's last event, 0 to 60\n"
           "                  (default: the release time)\n"
           "  --quick-start   start a note played while nothing sounds at its note-on's\n"
           "                  frame, not after the engine's 1001-frame (21 ms) fade of\n"
           "                  the previous note's level, which then fades only silence\n"
           "                  (default off: the render is the synth's sound)\n"
           "  --expressive    play pitch bend, glide (CC 5, 65), the sustain pedal (CC 64),\n"
           "                  RPN 0 (bend range), velocity and the MIDI Tuning Standard's\n"
           "                  messages as a mono synth does (default off: the synth plays\n"
           "                  notes only)\n" +
           expressionOptionsUsage() +
           "  -h, --help      show this text\n"
           "  --version       show the version\n"
           "\n"
           "Exit status: 0 done, 1 the output could not be written, 2 bad input or options.\n";
}

CommandLineResult parseRenderOptions(int argc, char **argv, RenderOptions &options,
                                     std::string &error) {
    options = {};
    std::vector<std::string> paths;
    CommandLine line;
    line.sound = &options.sound;
    line.tuningFiles = &options.tuningFiles;
    line.flags = {"quick-start", "expressive", kGlideLegatoFlag};
    line.set = [&options](std::string_view name, const std::string &value, std::string &e) {
        return setOption(name, value, options, e);
    };
    line.arguments = &paths;
    if (const CommandLineResult result = parseCommandLine(argc, argv, line, error);
        result != CommandLineResult::run)
        return result;
    if (paths.size() != 2) {
        error = paths.size() < 2 ? "expected INPUT.mid and OUTPUT.wav (see --help)"
                                 : "too many arguments: expected INPUT.mid and OUTPUT.wav";
        return CommandLineResult::error;
    }
    options.inputPath = paths[0];
    options.outputPath = paths[1];
    if (options.tailSeconds < 0.0)
        options.tailSeconds = options.sound.sliders.release / kMillisecondsPerSecond;
    return CommandLineResult::run;
}
