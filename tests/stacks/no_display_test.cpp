// Without a window system to open its window on, the program says so in one
// line and ends with status 1 rather than aborting inside Qt.
#include "tests/support/desktop.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

// An X server that refuses every client without its cookie (which no client has).
class LockedDisplay {
  public:
    LockedDisplay() {
        const std::string auth = testOutDir() + "/locked.auth";
        std::filesystem::remove(auth);
        shell("", "xauth -f " + auth + " add :0 . $(mcookie) 2>/dev/null");
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            std::freopen("/dev/null", "w", stderr);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-auth", auth.c_str(), "-nolisten",
                   "tcp", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char number[16] = {};
        if (read(fds[0], number, sizeof number - 1) > 0)
            name_ = ":" + std::to_string(std::atoi(number));
        close(fds[0]);
    }
    ~LockedDisplay() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
    pid_t pid_ = -1;
};

struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset;
};

TEST(NoDisplay, EndsWithOneLineAndStatusOne) {
    std::filesystem::create_directories(testOutDir());
    LockedDisplay locked;
    ASSERT_FALSE(locked.name().empty()) << "Xvfb did not start";
    const std::vector<std::string> neither{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const Case cases[] = {
        {"no display named", {}, neither},
        {"an X display that is not there", {{"DISPLAY", ":4095"}}, {"WAYLAND_DISPLAY"}},
        {"a Wayland display that is not there",
         {{"WAYLAND_DISPLAY", "ondrilux-absent"}},
         {"DISPLAY"}},
        {"an X display that refuses the connection",
         {{"DISPLAY", locked.name()}, {"XAUTHORITY", testOutDir() + "/absent.auth"}},
         {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Launched run = launch(ONDRILUX_PROGRAM, testOutDir(), c.env, c.unset);
        EXPECT_EQ(waitExit(run.pid, 20), 1);
        EXPECT_EQ(readFile(run.outPath), "");
        const std::string err = readFile(run.errPath);
        EXPECT_EQ(err.rfind("ondrilux: no display to open the window on (", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
}

} // namespace
