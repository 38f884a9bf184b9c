#pragma once

// Runs the real ondrilux-render executable in a private folder.
#include "midi_bytes.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

struct RendererRun {
    int exitStatus = -1; // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// A fresh folder under the system's temporary folder, removed by the destructor.
struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder();
    ~ScratchFolder();
    std::filesystem::path operator/(const std::string &name) const { return path / name; }
    // Names of the files now in the folder, sorted.
    std::vector<std::string> listing() const;
};

void writeFile(const std::filesystem::path &path, const Bytes &bytes);
std::string readText(const std::filesystem::path &path);

// Starts the renderer with `args`, its output and errors going to files in
// `logs`; a file size limit (bytes, 0 for none) applies to the child alone.
pid_t startRenderer(const std::vector<std::string> &args, const std::filesystem::path &logs,
                    long fileSizeLimit = 0);
RendererRun waitRenderer(pid_t pid, const std::filesystem::path &logs);
RendererRun runRenderer(const std::vector<std::string> &args, const std::filesystem::path &logs);

// The samples of a mono 32-bit float WAV file at 48000 frames/s, as the
// renderer writes it; a test failure when it is not one.
std::vector<float> readWav(const std::filesystem::path &path);
