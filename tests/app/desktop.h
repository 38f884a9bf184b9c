#pragma once

// Drives the real program on a real X display: launching it, finding and
// photographing its windows, pointer and keys through xdotool, and JACK
// recordings of its output.
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
void saveCrop(const std::string &shotPath, const WindowBox &box, const std::string &path);

// Waits up to `seconds` for a visible window whose whole title is `title`.
WindowBox findWindow(const std::string &display, const std::string &title, int seconds = 15);
bool windowExists(const std::string &display, const std::string &title);

// What the close box does: asks the window to close (WM_DELETE_WINDOW).
void closeWindow(const std::string &display, unsigned long window);

void sleepMs(int ms);

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

// The JACK output port that carries the program's audio, or "" after `seconds`.
std::string findAudioPort(pid_t pid, int seconds);
// Records `seconds` of `port` as 32-bit PCM and returns the samples.
std::vector<double> record(const std::string &port, int seconds, const std::string &path);

// Whether the child `pid` has not ended yet (reaps it when it has).
bool stillRunning(pid_t pid);
// Runs xdotool with `args` on `display`, its output discarded.
void xdotool(const std::string &display, const std::string &args);
// Screen row where the main window's client area starts (below the menu bar),
// found from the range bar's green band; 0 when the band is not there.
int clientAreaTop(const Image &shot, const WindowBox &box);
// Horizontal extent in screen pixels of dark text inside a rectangle, 0 if none.
int inkWidth(const Image &shot, int x0, int y0, int x1, int y1);
// Width in pixels of the dark text in status field `field` (100 pixels each,
// along the window's bottom 16 rows); 0 when the field is empty.
int statusFieldInk(const Image &shot, const WindowBox &box, int field);
