#pragma once

#include "command_line/command_line.h"
#include "command_line/sound_options.h"

#include <cstdint>
#include <string>

// What ondrilux-render is asked to do: the window's settings for the whole
// render, and the two files.
struct RenderOptions {
    SoundOptions sound;
    TuningFiles tuningFiles;
    double tailSeconds = -1.0; // below 0: the release time
    std::string inputPath;
    std::string outputPath;
};

// Reads the command line. On error `error` holds a one-line description.
CommandLineResult parseRenderOptions(int argc, char **argv, RenderOptions &options,
                                     std::string &error);

// The text that --help prints.
std::string renderUsage();
