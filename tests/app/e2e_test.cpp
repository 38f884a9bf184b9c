// The real ondrilux on a real X display with a real JACK server (the dummy
// driver), played from a JACK MIDI keyboard and driven by xdotool.
#include "tests/support/desktop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include <signal.h>

namespace {

constexpr int kRate = 48000;

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

// A stretch of a recording: samples [from, to).
struct Heard {
    size_t from = 0, to = 0;
};

// The next `seconds` of what `ears` records.
Heard hear(const JackProbe &ears, int seconds) {
    const size_t from = ears.recordedCount();
    ears.waitRecorded(static_cast<size_t>(seconds) * kRate);
    return {from, ears.recordedCount()};
}

// Relative magnitudes of the first 16 harmonics of a note of `period` frames,
// over whole periods at the end of a stretch.
std::vector<double> harmonicProfile(const JackProbe &ears, Heard heard, int period) {
    const size_t n = static_cast<size_t>(period) * 150;
    std::vector<double> profile(16, 0.0);
    if (heard.to - heard.from < n)
        return profile;
    const float *samples = ears.samples() + heard.to - n;
    double total = 0.0;
    for (int h = 1; h <= 16; ++h) {
        std::complex<double> sum;
        for (size_t i = 0; i < n; ++i)
            sum += static_cast<double>(samples[i]) *
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

using Ondrilux = ProgramTest;

// Moves the pointer; Qt merges moves that queue up, so each gets a moment.
void move(const std::string &display, int x, int y) {
    xdotool(display, "mousemove " + std::to_string(x) + " " + std::to_string(y));
    sleepMs(40);
}

TEST_F(Ondrilux, PlaysAndChangesTimbreWithRangeAndOperationThenQuitsOnEscape) {
    const std::string &d = display_;
    // The keyboard exists before the program starts, so that its device list
    // has it. Named as a USB keyboard shows up in JACK through a2jmidid, so
    // that the window's picture (the README's) shows what a player sees.
    JackProbe keys("a2j", {"Keystation 49 [24] (capture): Keystation 49 MIDI 1"}, 20.0);
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(&keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    EXPECT_EQ(box.width, 535);
    EXPECT_EQ(box.height, 410);
    // The icon is compiled in: title and task bars show it even from the build folder.
    EXPECT_NE(
        shell(d, "xprop -id " + std::to_string(box.id) + " _NET_WM_ICON").find("Icon (48 x 48)"),
        std::string::npos);
    ASSERT_TRUE(listen(keys));
    sleepMs(300);

    Image start = shot("start");
    const Layout l = measureLayout(start, box);
    ASSERT_GT(l.clientTop, box.y + 10) << "no menu bar above the controls";
    EXPECT_LT(l.clientTop, box.y + 40);
    EXPECT_EQ(rangeBarMismatches(start, l, 40, 90), "");
    const int midiInWidth = statusFieldInk(start, box, l, 0);
    EXPECT_GT(midiInWidth, 30) << "status field 0 shows no text";
    EXPECT_LT(midiInWidth, 55) << "status field 0 shows \"No MIDI IN\", not \"MIDI IN\"";
    EXPECT_EQ(statusFieldInk(start, box, l, 1), 0) << "status field 1 is not empty before a note";

    // Sustain is reached 1 s after the attack; the timbre is steady from then on.
    keys.noteOn(0, 69);
    sleepMs(1200);
    Image held = shot("note-held");
    const int onWidth = statusFieldInk(held, box, l, 1);
    EXPECT_GT(onWidth, 8) << "\"On\" is missing while a key is held";
    EXPECT_LT(onWidth, 20);
    // The picture of the window alone, as the README shows it.
    saveCrop(shotPath("note-held"), box, shotPath("window"));
    const Heard before = hear(keys, 1);
    const Heard unchanged = hear(keys, 1);

    // Drag the top edge from row 40 up to row 10.
    move(d, l.surfaceX(8), l.surfaceY(40));
    xdotool(d, "mousedown 1");
    sleepMs(40);
    for (int row = 37; row >= 10; row -= 3)
        move(d, l.surfaceX(8), l.surfaceY(row));
    xdotool(d, "mouseup 1");
    sleepMs(200);
    EXPECT_EQ(rangeBarMismatches(shot("dragged"), l, 10, 90), "");
    const Heard afterDrag = hear(keys, 1);

    // The last operation button, in the lower frame.
    move(d, l.x(90 + 8), l.y(320 + 10));
    xdotool(d, "click 1");
    sleepMs(200);
    shot("operation-13");
    const Heard afterClick = hear(keys, 1);

    for (const Heard &h : {before, afterDrag, afterClick})
        EXPECT_GT(keys.rms(h.from, h.to), 0.02) << "the held note is not heard";
    const int period = 109; // round(48000 / 440)
    const auto p0 = harmonicProfile(keys, before, period),
               p1 = harmonicProfile(keys, afterDrag, period),
               p2 = harmonicProfile(keys, afterClick, period);
    const double steady = distance(p0, harmonicProfile(keys, unchanged, period));
    std::printf("timbre change: none %.3f, drag %.3f, operation %.3f\n", steady, distance(p0, p1),
                distance(p1, p2));
    EXPECT_LT(steady, 0.02) << "the tone is not steady";
    EXPECT_GT(distance(p0, p1), 0.05) << "dragging the range did not change the timbre";
    EXPECT_GT(distance(p1, p2), 0.05) << "another operation did not change the timbre";

    // Escape while the note sounds ends the program.
    EXPECT_EQ(quitWithEscape(box), 0);
    expectSilentConsole();
}

TEST_F(Ondrilux, MenuShowsAboutAndModalHelpAndTheCloseBoxQuits) {
    const std::string &d = display_;
    JackProbe keys("ondrilux-test", {"keys"});
    ASSERT_TRUE(keys.ok());
    const WindowBox box = start(&keys);
    ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
    sleepMs(300);
    const Layout l = measureLayout(shot("menu-start"), box);

    chooseMenuItem(box, l, "Down");
    const WindowBox about = findWindow(d, "About", 5);
    ASSERT_NE(about.id, 0u) << "no About box";
    sleepMs(200);
    shot("about");
    xdotool(d, "windowfocus --sync " + std::to_string(about.id) + " key Return");
    EXPECT_TRUE(waitWindowGone("About"));

    chooseMenuItem(box, l, "Down Down");
    const WindowBox help = findWindow(d, "Ondrilux Help", 5);
    ASSERT_NE(help.id, 0u) << "no help window";
    EXPECT_EQ(help.width, 620);
    EXPECT_EQ(help.height, 373);
    sleepMs(200);
    const Image helpShot = shot("help");
    EXPECT_GT(inkWidth(helpShot, help.x + 10, help.y + 10, help.x + 600, help.y + 300), 300)
        << "the help text is missing";

    // The main window is blocked meanwhile: its Escape does not quit.
    xdotool(d, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
    sleepMs(300);
    EXPECT_TRUE(running());
    closeWindow(d, help.id);
    EXPECT_TRUE(waitWindowGone("Ondrilux Help"));
    sleepMs(300);
    EXPECT_TRUE(running()) << "closing the help window ended the program";

    // The close box, while a note sounds.
    keys.noteOn(0, 60);
    sleepMs(300);
    closeWindow(d, box.id);
    EXPECT_EQ(waitExit(program_.pid, 10), 0);
    expectSilentConsole();
}

TEST_F(Ondrilux, WithoutAnOutputDeviceShowsThePortAudioBoxAndEndsWithStatusOne) {
    const std::string &d = display_;
    // No JACK server to play into and ALSA without its route there: no output.
    launchProgram({{"JACK_DEFAULT_SERVER", "ondrilux-absent"}, {"JACK_NO_START_SERVER", "1"}},
                  {"ALSA_CONFIG_PATH"});
    const WindowBox box = findWindow(d, "PortAudio", 10);
    ASSERT_NE(box.id, 0u) << "no \"PortAudio\" box";
    EXPECT_FALSE(windowExists(d, "Ondrilux")) << "the main window came before the box";
    shot("portaudio");
    EXPECT_TRUE(running());
    xdotool(d, "windowfocus --sync " + std::to_string(box.id) + " key Return");
    EXPECT_EQ(waitExit(program_.pid, 10), 1);
    // libjack and alsa-lib complain on stderr about the missing server and
    // card unless told not to; the box is the only report.
    expectSilentConsole();
}

// The X server ends under a playing synth (a session logging out): one line
// and status 1, as when the window closes, not a crash of its threads.
TEST_F(Ondrilux, TheDisplayEndingUnderAPlayingSynthEndsItWithOneLine) {
    FILE *xvfb = popen("exec 4>&1; Xvfb -displayfd 4 -nolisten tcp 2>/dev/null & echo $! >&4", "r");
    int pid = 0, number = -1;
    ASSERT_TRUE(xvfb && std::fscanf(xvfb, "%d %d", &pid, &number) == 2) << "no Xvfb of its own";
    display_ = ":" + std::to_string(number);
    JackProbe keys("ondrilux-test", {"keys"}, 10.0);
    ASSERT_NE(start(&keys).id, 0u) << readFile(program_.errPath);
    ASSERT_TRUE(listen(keys));
    keys.noteOn(0, 69);
    keys.waitRecorded(kRate / 2);
    ASSERT_GT(keys.rms(0, keys.recordedCount()), 0.02) << "the note is not heard";
    kill(pid, SIGTERM);
    pclose(xvfb);
    EXPECT_EQ(waitExit(program_.pid, 10), 1);
    EXPECT_EQ(readFile(program_.errPath), "ondrilux: the connection to the display broke\n");
}

TEST_F(Ondrilux, KeepsItsLayoutAtEveryScaleFactor) {
    // The services' screen holds the window at twice its size.
    struct Scale {
        const char *text;
        double value;
    };
    std::map<double, std::pair<Image, WindowBox>> shots;
    for (const Scale s : {Scale{"1", 1.0}, Scale{"1.5", 1.5}, Scale{"2", 2.0}}) {
        SCOPED_TRACE(std::string("QT_SCALE_FACTOR=") + s.text);
        const WindowBox box = start(nullptr, {{"QT_SCALE_FACTOR", s.text}});
        ASSERT_NE(box.id, 0u) << readFile(program_.errPath);
        EXPECT_EQ(box.width, static_cast<int>(std::lround(535 * s.value)));
        EXPECT_EQ(box.height, static_cast<int>(std::lround(410 * s.value)));
        sleepMs(400);
        Image image = shot(std::string("scale-") + s.text);
        const Layout l = measureLayout(image, box, s.value);
        ASSERT_GT(l.clientTop, box.y) << "no range bar found";
        EXPECT_EQ(rangeBarMismatches(image, l, 40, 90), "");
        // The menu bar's height grows with the scale like everything else.
        const double menuHeight = (l.clientTop - box.y) / s.value;
        EXPECT_GT(menuHeight, 12);
        EXPECT_LT(menuHeight, 35);
        // The status bar's text sits at the foot, inside field 0.
        EXPECT_GT(statusFieldInk(image, box, l, 0), 20 * s.value);
        EXPECT_EQ(quitWithEscape(box), 0);
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
