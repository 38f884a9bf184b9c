#pragma once

// Drives the real program on a real X display: launching it, finding and
// photographing its windows, pointer and keys through xdotool; the fixture of
// the tests that do.
#include "tests/support/jack_probe.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &) const = default;
};

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Rgb at(int x, int y) const;
};

struct WindowBox {
    unsigned long id = 0;
    int x = 0, y = 0, width = 0, height = 0;
};

// Runs a shell command with DISPLAY set; returns its standard output.
std::string shell(const std::string &display, const std::string &command);

// Saves a screenshot of the whole screen to `path` and reads it back.
Image screenshot(const std::string &display, const std::string &path);
// Reads a picture file (any format ImageMagick reads).
Image readImage(const std::string &path);
void saveCrop(const std::string &shotPath, const WindowBox &box, const std::string &path);

// Waits up to `seconds` for a visible window whose whole title is `title`.
WindowBox findWindow(const std::string &display, const std::string &title, int seconds = 15);
bool windowExists(const std::string &display, const std::string &title);

// What the close box does: asks the window to close (WM_DELETE_WINDOW).
void closeWindow(const std::string &display, unsigned long window);

void sleepMs(int ms);
// "" inside scripts/run-on-stack.sh STACK; otherwise why a test of that stack skips.
std::string notOnStack(const std::string &stack);
// Where the tests leave the program's output, screenshots and logs.
std::string testOutDir();

struct Launched {
    pid_t pid = -1;
    std::string outPath, errPath;
};
Launched launch(const std::string &program, const std::string &outDir,
                const std::vector<std::pair<std::string, std::string>> &env,
                const std::vector<std::string> &unset = {},
                const std::vector<std::string> &args = {});
// Exit status, or -1 (after killing it) when it is still running after `seconds`.
int waitExit(pid_t pid, int seconds);
std::string readFile(const std::string &path);

// Whether the child `pid` has not ended yet (reaps it when it has).
bool stillRunning(pid_t pid);
// Runs xdotool with `args` on `display`, its output discarded.
void xdotool(const std::string &display, const std::string &args);
// Horizontal extent in screen pixels of dark text inside a rectangle, 0 if none.
int inkWidth(const Image &shot, int x0, int y0, int x1, int y1);

inline constexpr Rgb kGrey{237, 237, 237}, kGreen{0, 153, 0};

// Where the main window's client area (below the menu bar) lies on the
// screen; positions in device-independent pixels.
struct Layout {
    double scale = 1.0;
    int left = 0, clientTop = 0;
    int x(double dx) const;
    int y(double dy) const;
    // Centre of a pixel of the range bar's drawing surface.
    int surfaceX(int column) const { return x(42 + column + 0.5); }
    int surfaceY(int row) const { return y(82 + row + 0.5); }
};
// Found from the range bar's green band at the default range; clientTop is 0
// when the band is not there.
Layout measureLayout(const Image &shot, const WindowBox &box, double scale = 1.0);
// Width in pixels of the dark text in status field `field` (100 pixels each,
// along the window's bottom 16 rows); 0 when the field is empty.
int statusFieldInk(const Image &shot, const WindowBox &box, const Layout &l, int field);

using Env = std::vector<std::pair<std::string, std::string>>;

// The real program on the test services' display and JACK server; the test
// skips itself when they are missing.
class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the program with `env` over the tests' look (Fusion, scale 1)
    // and `unset` taken out.
    void launchProgram(const Env &env = {}, const std::vector<std::string> &unset = {});
    // Starts the program and waits for its main window to be painted, and
    // with `keys` for its MIDI input to listen to keys' first port.
    WindowBox start(const JackProbe *keys = nullptr, const Env &env = {});
    // Records the program's output into `ears` from now on.
    bool listen(JackProbe &ears);
    std::string shotPath(const std::string &name) const;
    // Saves a screenshot of the whole screen as `name` and reads it back.
    Image shot(const std::string &name) const;
    // Escape to the main window; the exit status (-1: still running after
    // 10 s), and in `seconds` how long the program took to end.
    int quitWithEscape(const WindowBox &box, double *seconds = nullptr);
    // Opens the menu bar's menu and takes the item that the key presses
    // `downs` ("Down", "Down Down") lead to.
    void chooseMenuItem(const WindowBox &box, const Layout &l, const std::string &downs);
    // Waits up to 2 s until no window titled `title` shows; whether none does.
    bool waitWindowGone(const std::string &title) const;
    void expectSilentConsole() const;
    bool running() const { return stillRunning(program_.pid); }

    std::string display_;
    Launched program_;
};
