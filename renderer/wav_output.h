#pragma once

#include <cstddef>
#include <string>

struct sf_private_tag; // libsndfile's SNDFILE

// A WAV file (mono, 32-bit float, 48000 frames/s) that appears under its name
// only once it is complete: the frames go to a hidden temporary file in the
// same folder, renamed over the name at the end. A failure, or SIGINT, SIGTERM
// or SIGHUP meanwhile, removes the temporary file and leaves the name as it was.
struct WavOutput {
    sf_private_tag *file = nullptr;
    std::string tempPath;
    std::string path;
};

// Whether the output may be written: a new file or an existing regular one.
bool checkWavOutputPath(const std::string &path, std::string &error);
bool openWavOutput(const std::string &path, WavOutput &out, std::string &error);
bool writeWavFrames(WavOutput &out, const float *frames, size_t count, std::string &error);
// Closes the file and gives it its name.
bool commitWavOutput(WavOutput &out, std::string &error);
// Closes and removes the temporary file.
void discardWavOutput(WavOutput &out);
