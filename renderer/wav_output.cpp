#include "renderer/wav_output.h"

#include "engine/synth_state.h"

#include <sndfile.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file's name for the signal handler, which may only call
// async-signal-safe functions. Empty while no temporary file exists.
char pendingTempPath[PATH_MAX + 1];
volatile sig_atomic_t haveTempPath = 0;

void removeTempAndDie(int signo) {
    if (haveTempPath)
        unlink(pendingTempPath);
    signal(signo, SIG_DFL);
    raise(signo);
}

void setPendingTempPath(const std::string &path) {
    haveTempPath = 0;
    if (path.size() > PATH_MAX)
        return;
    std::memcpy(pendingTempPath, path.c_str(), path.size() + 1);
    haveTempPath = !path.empty();
}

std::string systemError(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

std::string folderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool checkWavOutputPath(const std::string &path, std::string &error) {
    struct stat st;
    if (path.empty() || path.back() == '/') {
        error = "'" + path + "' names no file";
        return false;
    }
    // The rename would put a file in place of a folder, a device such as
    // /dev/null or a pipe; refuse rather than replace them.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + (S_ISDIR(st.st_mode) ? ": is a folder" : ": is not a regular file");
        return false;
    }
    return true;
}

bool openWavOutput(const std::string &path, WavOutput &out, std::string &error) {
    out = {};
    out.path = path;

    static bool handlersInstalled = false;
    if (!handlersInstalled) {
        for (int signo : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signo, removeTempAndDie);
        // A file size limit ends the process unless the signal is ignored; ignored,
        // the write fails and the temporary file is removed as for any failure.
        std::signal(SIGXFSZ, SIG_IGN);
        handlersInstalled = true;
    }

    std::string temp = folderOf(path) + "/." + nameOf(path) + ".XXXXXX";
    // Block the signals until the handler knows the name, so no file is left behind.
    sigset_t block, previous;
    sigemptyset(&block);
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&block, signo);
    sigprocmask(SIG_BLOCK, &block, &previous);
    const int fd = mkstemp(temp.data());
    if (fd >= 0)
        setPendingTempPath(temp);
    const int savedErrno = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        errno = savedErrno;
        error = systemError("cannot create a file in " + folderOf(path));
        return false;
    }
    out.tempPath = temp;

    // mkstemp makes the file private; give it the mode a new file would have.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.samplerate = static_cast<int>(kSampleRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    out.file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!out.file) {
        error = std::string("cannot write WAV: ") + sf_strerror(nullptr);
        close(fd);
        discardWavOutput(out);
        return false;
    }
    // No PEAK chunk: it costs a pass over every frame and no reader needs it.
    sf_command(out.file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return true;
}

bool writeWavFrames(WavOutput &out, const float *frames, size_t count, std::string &error) {
    const sf_count_t written = sf_writef_float(out.file, frames, static_cast<sf_count_t>(count));
    if (written != static_cast<sf_count_t>(count)) {
        error = "cannot write " + out.path + ": " + sf_strerror(out.file);
        return false;
    }
    return true;
}

bool commitWavOutput(WavOutput &out, std::string &error) {
    // sf_close writes the header's sizes; a failure there leaves a broken file.
    const int closeError = sf_close(out.file);
    out.file = nullptr;
    if (closeError != SF_ERR_NO_ERROR) {
        error = "cannot write " + out.path + ": " + sf_error_number(closeError);
        discardWavOutput(out);
        return false;
    }
    if (std::rename(out.tempPath.c_str(), out.path.c_str()) != 0) {
        error = systemError("cannot write " + out.path);
        discardWavOutput(out);
        return false;
    }
    setPendingTempPath({});
    out.tempPath.clear();
    return true;
}

void discardWavOutput(WavOutput &out) {
    if (out.file)
        sf_close(out.file);
    out.file = nullptr;
    if (!out.tempPath.empty())
        unlink(out.tempPath.c_str());
    setPendingTempPath({});
    out.tempPath.clear();
}
