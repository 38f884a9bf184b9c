// ondrilux-render: plays a MIDI file through the sound engine into a WAV file.
#include "engine_driving/engine_driving.h"
#include "midi_file/midi_file_reader.h"
#include "renderer/offline_render.h"
#include "renderer/progress_bar.h"
#include "renderer/render_options.h"
#include "renderer/wav_output.h"
#include "tuning_files/scala_files.h"

#include "engine/synth_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitWriteFailed = 1;
constexpr int kExitBadInput = kExitBadOptions;

// Far more than any real MIDI file; keeps a wrong path (a disk image, /dev/zero)
// from being read into memory.
constexpr size_t kMaxInputBytes = 16 << 20;

int fail(int status, const std::string &message) {
    return failWith("ondrilux-render", status, message);
}

bool readInput(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        error = path + ": is a folder, not a MIDI file";
        return false;
    }
    bytes.resize(kMaxInputBytes + 1);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got > kMaxInputBytes) {
        error = path + ": too large for a MIDI file (over 16 MiB)";
        return false;
    }
    bytes.resize(got);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    RenderOptions options;
    std::string error;
    if (const CommandLineResult result = parseRenderOptions(argc, argv, options, error);
        result != CommandLineResult::run)
        return finishWithoutRunning("ondrilux-render", result, renderUsage(), error);

    if (!checkWavOutputPath(options.outputPath, error))
        return fail(kExitBadInput, error);
    std::vector<uint8_t> bytes;
    if (!readInput(options.inputPath, bytes, error))
        return fail(kExitBadInput, error);
    MidiSong song;
    if (!readMidiFile(bytes, song, error))
        return fail(kExitBadInput, options.inputPath + ": " + error);
    const std::optional<int64_t> frameCount = renderLength(song, options.tailSeconds);
    if (!frameCount)
        return fail(kExitBadInput, options.inputPath +
                                       ": the render would last over 6 hours, more than a WAV "
                                       "file can hold");
    const std::vector<FrameMessage> messages = frameMessages(song);
    if (!readTuningFiles(options.tuningFiles.scale, options.tuningFiles.keyboardMap,
                         options.sound.tuning, error))
        return fail(kExitBadInput, error);

    WavOutput out;
    if (!openWavOutput(options.outputPath, out, error))
        return fail(kExitWriteFailed, error);
    static DrivenEngine engine;
    prepareEngine(engine, options.sound);
    ProgressBar progress;
    startProgress(progress);
    const bool rendered = renderMessages(engine, messages, *frameCount, out, progress, error);
    finishProgress(progress, rendered);
    if (!rendered) {
        discardWavOutput(out);
        return fail(kExitWriteFailed, error);
    }
    if (!commitWavOutput(out, error))
        return fail(kExitWriteFailed, error);
    return 0;
}
