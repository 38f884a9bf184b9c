// The real ondrilux on a real X display with a real JACK server (the dummy
// driver), played from a virtual JACK MIDI keyboard and driven by xdotool.
#include "desktop.h"

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

namespace {

const std::string kProgram = ONDRILUX_PROGRAM;
const std::string kOutDir = ONDRILUX_OUT_DIR;

constexpr Rgb kGrey{237, 237, 237}, kGreen{0, 153, 0};

bool servicesMissing() {
    return !std::getenv("DISPLAY") || !std::getenv("JACK_DEFAULT_SERVER");
}

std::string sharedDisplay() {
    return std::getenv("DISPLAY");
}

// A keyboard on a virtual JACK MIDI port. It must exist before the program
// starts, so that the program's device list has it.
class Keyboard {
  public:
    Keyboard() : out_(RtMidi::UNIX_JACK, "ondrilux-test") { out_.openVirtualPort("keys"); }
    void noteOn(int note) { send(0x90, note, 100); }
    void noteOff(int note) { send(0x80, note, 0); }

  private:
    void send(int status, int note, int velocity) {
        const std::vector<unsigned char> m{static_cast<unsigned char>(status),
                                           static_cast<unsigned char>(note),
                                           static_cast<unsigned char>(velocity)};
        out_.sendMessage(&m);
    }
    RtMidiOut out_;
};

std::vector<std::pair<std::string, std::string>> programEnv(const std::string &display,
                                                            const char *scale) {
    return {{"DISPLAY", display}, {"QT_STYLE_OVERRIDE", "Fusion"}, {"QT_SCALE_FACTOR", scale}};
}

// Where the window's client area (below the menu bar) lies on the screen,
// found from the range bar's green band; positions in device-independent pixels.
struct Layout {
    double scale = 1.0;
    int left = 0, clientTop = 0, windowTop = 0;
    int x(double dx) const { return left + static_cast<int>(std::floor(dx * scale)); }
    int y(double dy) const { return clientTop + static_cast<int>(std::floor(dy * scale)); }
    // Centre of a pixel of the range bar's drawing surface.
    int surfaceX(int column) const { return x(42 + column + 0.5); }
    int surfaceY(int row) const { return y(82 + row + 0.5); }
};

Layout measureLayout(const Image &shot, const WindowBox &box, double scale) {
    Layout l{scale, box.x, 0, box.y};
    const int column = l.surfaceX(8);
    for (int y = box.y; y < box.y + box.height; ++y) {
        if (shot.at(column, y) == kGreen) {
            // The first green row is surface row 40.
            l.clientTop = y - static_cast<int>(std::floor(122 * scale));
            return l;
        }
    }
    return l;
}

// Surface rows whose colour is not what a range from `top` to `bottom` shows.
std::string rangeBarMismatches(const Image &shot, const Layout &l, int top, int bottom) {
    std::ostringstream out;
    for (int row = 0; row < 246; ++row) {
        const Rgb want = (row >= top && row < bottom) ? kGreen : kGrey;
        for (int column : {0, 8, 15}) {
            const Rgb got = shot.at(l.surfaceX(column), l.surfaceY(row));
            if (!(got == want)) {
                out << "row " << row << " column " << column << ": " << got.r << "," << got.g << ","
                    << got.b << "\n";
                break;
            }
        }
    }
    return out.str();
}

// Status fields 0 and 1 (100 pixels each) along the window's bottom 16 pixels.
int statusInk(const Image &shot, const WindowBox &box, const Layout &l, int field) {
    const int bottom = box.y + box.height;
    return inkWidth(shot, l.x(field * 100 + 4), bottom - static_cast<int>(16 * l.scale),
                    l.x(field * 100 + 100), bottom - 1);
}

// Relative magnitudes of the first 16 harmonics of a note of `period` frames,
// over whole periods at the end of the recording.
std::vector<double> harmonicProfile(const std::vector<double> &samples, int period) {
    const size_t n = static_cast<size_t>(period) * 150;
    std::vector<double> profile(16, 0.0);
    if (samples.size() < n)
        return profile;
    const size_t start = samples.size() - n;
    double total = 0.0;
    for (int h = 1; h <= 16; ++h) {
        std::complex<double> sum;
        for (size_t i = 0; i < n; ++i)
            sum += samples[start + i] *
                   std::polar(1.0, -2.0 * M_PI * h * static_cast<double>(i) / period);
        profile[h - 1] = std::abs(sum);
        total += profile[h - 1];
    }
    for (double &v : profile)
        v = total > 0.0 ? v / total : 0.0;
    return profile;
}

double distance(const std::vector<double> &a, const std::vector<double> &b) {
    double d = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        d += std::abs(a[i] - b[i]);
    return d;
}

double rms(const std::vector<double> &samples) {
    double sum = 0.0;
    for (double v : samples)
        sum += v * v;
    return samples.empty() ? 0.0 : std::sqrt(sum / samples.size());
}

bool running(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

void xdo(const std::string &display, const std::string &args) {
    shell(display, "xdotool " + args + " >/dev/null 2>&1");
}

void move(const std::string &display, int x, int y) {
    xdo(display, "mousemove " + std::to_string(x) + " " + std::to_string(y));
    sleepMs(40); // Qt merges moves that queue up
}

class Ondrilux : public ::testing::Test {
  protected:
    void SetUp() override {
        if (servicesMissing())
            GTEST_SKIP() << "needs the test services (DISPLAY, JACK_DEFAULT_SERVER)";
        std::filesystem::create_directories(kOutDir);
    }
    void TearDown() override {
        if (program_.pid > 0 && running(program_.pid))
            waitExit(program_.pid, 0);
    }
    std::string shot(const std::string &name) const { return kOutDir + "/" + name + ".png"; }
    void expectSilentConsole() const {
        EXPECT_EQ(readFile(program_.outPath), "");
        EXPECT_EQ(readFile(program_.errPath), "");
    }

    Launched program_;
};

TEST_F(Ondrilux, PlaysAndChangesTimbreWithRangeAndOperationThenQuitsOnEscape) {
    const std::string d = sharedDisplay();
    Keyboard keys;
    program_ = launch(kProgram, kOutDir, programEnv(d, "1"));
    const WindowBox box = findWindow(d, "Ondrilux");
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    EXPECT_EQ(box.width, 535);
    EXPECT_EQ(box.height, 410);
    // The icon is compiled in: title and task bars show it even from the build folder.
    EXPECT_NE(
        shell(d, "xprop -id " + std::to_string(box.id) + " _NET_WM_ICON").find("Icon (48 x 48)"),
        std::string::npos);
    const std::string port = findAudioPort(program_.pid, 5);
    ASSERT_FALSE(port.empty());
    sleepMs(300);

    Image start = screenshot(d, shot("start"));
    const Layout l = measureLayout(start, box, 1.0);
    ASSERT_GT(l.clientTop, box.y + 10) << "no menu bar above the controls";
    EXPECT_LT(l.clientTop, box.y + 40);
    EXPECT_EQ(rangeBarMismatches(start, l, 40, 90), "");
    const int midiInWidth = statusInk(start, box, l, 0);
    EXPECT_GT(midiInWidth, 30) << "status field 0 shows no text";
    EXPECT_LT(midiInWidth, 55) << "status field 0 shows \"No MIDI IN\", not \"MIDI IN\"";
    EXPECT_EQ(statusInk(start, box, l, 1), 0) << "status field 1 is not empty before a note";

    // Sustain is reached 1 s after the attack; the timbre is steady from then on.
    keys.noteOn(69);
    sleepMs(1200);
    Image held = screenshot(d, shot("note-held"));
    const int onWidth = statusInk(held, box, l, 1);
    EXPECT_GT(onWidth, 8) << "\"On\" is missing while a key is held";
    EXPECT_LT(onWidth, 20);
    // The picture of the window alone, as the README shows it.
    saveCrop(shot("note-held"), box, shot("window"));
    const std::vector<double> before = record(port, 1, kOutDir + "/before.wav");
    const std::vector<double> unchanged = record(port, 1, kOutDir + "/unchanged.wav");

    // Drag the top edge from row 40 up to row 10.
    move(d, l.surfaceX(8), l.surfaceY(40));
    xdo(d, "mousedown 1");
    sleepMs(40);
    for (int row = 37; row >= 10; row -= 3)
        move(d, l.surfaceX(8), l.surfaceY(row));
    xdo(d, "mouseup 1");
    sleepMs(200);
    Image dragged = screenshot(d, shot("dragged"));
    EXPECT_EQ(rangeBarMismatches(dragged, l, 10, 90), "");
    const std::vector<double> afterDrag = record(port, 1, kOutDir + "/after-drag.wav");

    // The last operation button, in the lower frame.
    move(d, l.x(90 + 8), l.y(320 + 10));
    xdo(d, "click 1");
    sleepMs(200);
    screenshot(d, shot("operation-13"));
    const std::vector<double> afterClick = record(port, 1, kOutDir + "/after-click.wav");

    for (const auto *r : {&before, &afterDrag, &afterClick})
        EXPECT_GT(rms(*r), 0.02) << "the held note is not heard";
    const int period = 109; // round(48000 / 440)
    const auto p0 = harmonicProfile(before, period), p1 = harmonicProfile(afterDrag, period),
               p2 = harmonicProfile(afterClick, period);
    std::printf("timbre change: none %.3f, drag %.3f, operation %.3f\n",
                distance(p0, harmonicProfile(unchanged, period)), distance(p0, p1),
                distance(p1, p2));
    EXPECT_LT(distance(p0, harmonicProfile(unchanged, period)), 0.02) << "the tone is not steady";
    EXPECT_GT(distance(p0, p1), 0.05) << "dragging the range did not change the timbre";
    EXPECT_GT(distance(p1, p2), 0.05) << "another operation did not change the timbre";

    // Escape while the note sounds ends the program.
    xdo(d, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
    EXPECT_EQ(waitExit(program_.pid, 10), 0);
    expectSilentConsole();
}

TEST_F(Ondrilux, MenuShowsAboutAndModalHelpAndTheCloseBoxQuits) {
    const std::string d = sharedDisplay();
    Keyboard keys;
    program_ = launch(kProgram, kOutDir, programEnv(d, "1"));
    const WindowBox box = findWindow(d, "Ondrilux");
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    sleepMs(300);
    const Layout l = measureLayout(screenshot(d, shot("menu-start")), box, 1.0);
    const int menuY = (box.y + l.clientTop) / 2;
    const auto chooseMenuItem = [&](const std::string &downs) {
        move(d, box.x + 10, menuY);
        xdo(d, "click 1");
        sleepMs(300);
        xdo(d, "key " + downs + " Return");
    };

    chooseMenuItem("Down");
    const WindowBox about = findWindow(d, "About", 5);
    ASSERT_NE(about.id, 0u) << "no About box";
    sleepMs(200);
    screenshot(d, shot("about"));
    xdo(d, "windowfocus --sync " + std::to_string(about.id) + " key Return");
    for (int i = 0; i < 40 && windowExists(d, "About"); ++i)
        sleepMs(50);
    EXPECT_FALSE(windowExists(d, "About"));

    chooseMenuItem("Down Down");
    const WindowBox help = findWindow(d, "Ondrilux Help", 5);
    ASSERT_NE(help.id, 0u) << "no help window";
    EXPECT_EQ(help.width, 620);
    EXPECT_EQ(help.height, 373);
    sleepMs(200);
    Image helpShot = screenshot(d, shot("help"));
    EXPECT_GT(inkWidth(helpShot, help.x + 10, help.y + 10, help.x + 600, help.y + 300), 300)
        << "the help text is missing";

    // The main window is blocked meanwhile: its Escape does not quit.
    xdo(d, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
    sleepMs(300);
    EXPECT_TRUE(running(program_.pid));
    closeWindow(d, help.id);
    for (int i = 0; i < 40 && windowExists(d, "Ondrilux Help"); ++i)
        sleepMs(50);
    EXPECT_FALSE(windowExists(d, "Ondrilux Help"));
    sleepMs(300);
    EXPECT_TRUE(running(program_.pid)) << "closing the help window ended the program";

    // The close box, while a note sounds.
    keys.noteOn(60);
    sleepMs(300);
    closeWindow(d, box.id);
    EXPECT_EQ(waitExit(program_.pid, 10), 0);
    expectSilentConsole();
}

TEST_F(Ondrilux, WithoutAnOutputDeviceShowsThePortAudioBoxAndEndsWithStatusOne) {
    const std::string d = sharedDisplay();
    // No JACK server to play into and ALSA without its route there: no output.
    auto env = programEnv(d, "1");
    env.push_back({"JACK_DEFAULT_SERVER", "ondrilux-absent"});
    env.push_back({"JACK_NO_START_SERVER", "1"});
    program_ = launch(kProgram, kOutDir, env, {"ALSA_CONFIG_PATH"});
    const WindowBox box = findWindow(d, "PortAudio", 10);
    ASSERT_NE(box.id, 0u) << "no \"PortAudio\" box";
    EXPECT_FALSE(windowExists(d, "Ondrilux")) << "the main window came before the box";
    screenshot(d, shot("portaudio"));
    EXPECT_TRUE(running(program_.pid));
    xdo(d, "windowfocus --sync " + std::to_string(box.id) + " key Return");
    EXPECT_EQ(waitExit(program_.pid, 10), 1);
    // libjack and alsa-lib complain on stderr about the missing server and
    // card unless told not to; the box is the only report.
    expectSilentConsole();
}

// A private display large enough for the window at twice its size.
class LargeDisplay {
  public:
    LargeDisplay() {
        int n = 150;
        while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
               std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
            ++n;
        name_ = ":" + std::to_string(n);
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stderr);
            execlp("Xvfb", "Xvfb", name_.c_str(), "-screen", "0", "1920x1080x24", "-nolisten",
                   "tcp", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (shell(name_, "xdpyinfo >/dev/null 2>&1 && echo up").find("up") == 0)
                return;
            sleepMs(100);
        }
    }
    ~LargeDisplay() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
    pid_t pid_ = -1;
};

TEST_F(Ondrilux, KeepsItsLayoutAtEveryScaleFactor) {
    LargeDisplay display;
    const std::string d = display.name();
    struct Scale {
        const char *text;
        double value;
    };
    std::map<double, std::pair<Image, WindowBox>> shots;
    for (const Scale s : {Scale{"1", 1.0}, Scale{"1.5", 1.5}, Scale{"2", 2.0}}) {
        SCOPED_TRACE(std::string("QT_SCALE_FACTOR=") + s.text);
        program_ = launch(kProgram, kOutDir, programEnv(d, s.text));
        const WindowBox box = findWindow(d, "Ondrilux");
        ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
        EXPECT_EQ(box.width, static_cast<int>(std::lround(535 * s.value)));
        EXPECT_EQ(box.height, static_cast<int>(std::lround(410 * s.value)));
        sleepMs(400);
        Image image = screenshot(d, shot(std::string("scale-") + s.text));
        const Layout l = measureLayout(image, box, s.value);
        ASSERT_GT(l.clientTop, box.y) << "no range bar found";
        EXPECT_EQ(rangeBarMismatches(image, l, 40, 90), "");
        // The menu bar's height grows with the scale like everything else.
        const double menuHeight = (l.clientTop - box.y) / s.value;
        EXPECT_GT(menuHeight, 12);
        EXPECT_LT(menuHeight, 35);
        // The status bar's text sits at the foot, inside field 0.
        EXPECT_GT(statusInk(image, box, l, 0), 20 * s.value);
        xdo(d, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
        EXPECT_EQ(waitExit(program_.pid, 10), 0);
        expectSilentConsole();
        shots[s.value] = {std::move(image), box};
    }
    // At twice the size, shrunk back, the window looks as at size 1: only the
    // glyphs' rendering differs, in few pixels.
    const auto &[one, boxOne] = shots[1.0];
    const auto &[two, boxTwo] = shots[2.0];
    int differing = 0;
    for (int y = 0; y < boxOne.height; ++y)
        for (int x = 0; x < boxOne.width; ++x) {
            const Rgb a = one.at(boxOne.x + x, boxOne.y + y);
            int sum[3] = {0, 0, 0};
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const Rgb b = two.at(boxTwo.x + 2 * x + dx, boxTwo.y + 2 * y + dy);
                    sum[0] += b.r, sum[1] += b.g, sum[2] += b.b;
                }
            if (std::abs(a.r - sum[0] / 4) > 100 || std::abs(a.g - sum[1] / 4) > 100 ||
                std::abs(a.b - sum[2] / 4) > 100)
                ++differing;
        }
    const double share = static_cast<double>(differing) / (boxOne.width * boxOne.height);
    std::printf("pixels differing between sizes 1 and 2: %.2f %%\n", share * 100);
    EXPECT_LT(share, 0.015);
}

} // namespace
