#pragma once

#include "tools/sound_options.h"

#include <cstdint>
#include <string>

// What ondrilux-render is asked to do: the window's settings for the whole
// render, and the two files.
struct RenderOptions {
    SoundOptions sound;
    double tailSeconds = -1.0; // below 0: the release time
    std::string inputPath;
    std::string outputPath;
};

enum class OptionsResult { render, help, version, error };

// Reads the command line. On error `error` holds a one-line description.
OptionsResult parseRenderOptions(int argc, char **argv, RenderOptions &options, std::string &error);

// The text that --help prints.
std::string renderUsage();
