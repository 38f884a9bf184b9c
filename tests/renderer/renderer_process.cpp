#include "renderer_process.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "ondrilux-render-test.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::vector<std::string> ScratchFolder::listing() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void writeFile(const fs::path &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::string readText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

pid_t startRenderer(const std::vector<std::string> &args, const fs::path &logs,
                    long fileSizeLimit) {
    const std::string out = (logs / "stdout.log").string();
    const std::string err = (logs / "stderr.log").string();
    std::vector<char *> argv{const_cast<char *>(ONDRILUX_RENDER_PATH)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (fileSizeLimit > 0) {
            const rlimit limit{static_cast<rlim_t>(fileSizeLimit),
                               static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

RendererRun waitRenderer(pid_t pid, const fs::path &logs) {
    RendererRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    run.out = readText(logs / "stdout.log");
    run.err = readText(logs / "stderr.log");
    fs::remove(logs / "stdout.log");
    fs::remove(logs / "stderr.log");
    return run;
}

RendererRun runRenderer(const std::vector<std::string> &args, const fs::path &logs) {
    return waitRenderer(startRenderer(args, logs), logs);
}

std::vector<float> readWav(const std::filesystem::path &path) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        ADD_FAILURE() << "cannot open " << path << ": " << sf_strerror(nullptr);
        return {};
    }
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, 48000);
    std::vector<float> frames(static_cast<size_t>(info.frames));
    EXPECT_EQ(sf_readf_float(f, frames.data(), info.frames), info.frames);
    sf_close(f);
    return frames;
}
