#include "tests/support/desktop.h"

#include <X11/Xlib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

Rgb Image::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return {-1, -1, -1};
    const size_t i = (static_cast<size_t>(y) * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
}

std::string shell(const std::string &display, const std::string &command) {
    const std::string full = "DISPLAY=" + display + " " + command;
    std::string out;
    if (FILE *p = popen(full.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

Image screenshot(const std::string &display, const std::string &path) {
    shell(display, "import -window root " + path);
    return readImage(path);
}

Image readImage(const std::string &path) {
    const std::string ppm = shell("", "convert " + path + " -depth 8 -alpha off ppm:-");
    Image image;
    std::istringstream in(ppm);
    std::string magic;
    int maxValue = 0;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255)
        return {};
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    in.read(reinterpret_cast<char *>(image.rgb.data()),
            static_cast<std::streamsize>(image.rgb.size()));
    return image;
}

void saveCrop(const std::string &shotPath, const WindowBox &box, const std::string &path) {
    std::ostringstream cmd;
    cmd << "convert " << shotPath << " -crop " << box.width << "x" << box.height << "+" << box.x
        << "+" << box.y << " +repage -strip " << path;
    std::system(cmd.str().c_str());
}

namespace {

int field(const std::string &text, const std::string &key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + key.size());
}

// The first visible window of that title, or 0. xdotool's search gives up
// with an X error, as if nothing matched, when any window it examines goes
// away meanwhile (a menu's popup closing as the box it opened appears); such
// a search is made again.
unsigned long searchWindow(const std::string &display, const std::string &title) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::string out =
            shell(display, "xdotool search --onlyvisible --name '^" + title + "$' 2>&1");
        if (out.find("X Error") != std::string::npos)
            continue;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])))
                return std::strtoul(line.c_str(), nullptr, 10);
        return 0;
    }
    return 0;
}

} // namespace

WindowBox findWindow(const std::string &display, const std::string &title, int seconds) {
    WindowBox box;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while ((box.id = searchWindow(display, title)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return box;
        sleepMs(50);
    }
    const std::string info = shell(display, "xwininfo -id " + std::to_string(box.id));
    box.x = field(info, "Absolute upper-left X:");
    box.y = field(info, "Absolute upper-left Y:");
    box.width = field(info, "Width:");
    box.height = field(info, "Height:");
    return box;
}

bool windowExists(const std::string &display, const std::string &title) {
    return searchWindow(display, title) != 0;
}

void closeWindow(const std::string &display, unsigned long window) {
    Display *d = XOpenDisplay(display.c_str());
    if (!d)
        return;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &e);
    XFlush(d);
    XCloseDisplay(d);
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string notOnStack(const std::string &stack) {
    const char *running = std::getenv("ONDRILUX_STACK");
    return running && running == stack ? ""
                                       : "runs on its stack only: scripts/run-on-stack.sh " + stack;
}

std::string testOutDir() {
    return ONDRILUX_OUT_DIR;
}

Launched launch(const std::string &program, const std::string &outDir,
                const std::vector<std::pair<std::string, std::string>> &env,
                const std::vector<std::string> &unset, const std::vector<std::string> &args) {
    static int count = 0;
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    Launched l;
    l.outPath = outDir + "/run" + std::to_string(++count) + ".out";
    l.errPath = outDir + "/run" + std::to_string(count) + ".err";
    l.pid = fork();
    if (l.pid == 0) {
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        for (const std::string &name : unset)
            unsetenv(name.c_str());
        if (!std::freopen(l.outPath.c_str(), "w", stdout) ||
            !std::freopen(l.errPath.c_str(), "w", stderr))
            _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return l;
}

int waitExit(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        sleepMs(50);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool stillRunning(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

void xdotool(const std::string &display, const std::string &args) {
    shell(display, "xdotool " + args + " >/dev/null 2>&1");
}

int inkWidth(const Image &shot, int x0, int y0, int x1, int y1) {
    int first = -1, last = -1;
    for (int x = x0; x < x1; ++x)
        for (int y = y0; y < y1; ++y) {
            const Rgb p = shot.at(x, y);
            if (p.r >= 0 && p.r + p.g + p.b < 300) {
                if (first < 0)
                    first = x;
                last = x;
                break;
            }
        }
    return first < 0 ? 0 : last - first + 1;
}

int Layout::x(double dx) const {
    return left + static_cast<int>(std::floor(dx * scale));
}

int Layout::y(double dy) const {
    return clientTop + static_cast<int>(std::floor(dy * scale));
}

Layout measureLayout(const Image &shot, const WindowBox &box, double scale) {
    Layout l{scale, box.x, 0};
    const int column = l.surfaceX(8);
    for (int y = box.y; y < box.y + box.height; ++y)
        if (shot.at(column, y) == kGreen) {
            // The first green row is surface row 40.
            l.clientTop = y - static_cast<int>(std::floor(122 * scale));
            break;
        }
    return l;
}

int statusFieldInk(const Image &shot, const WindowBox &box, const Layout &l, int field) {
    const int bottom = box.y + box.height;
    return inkWidth(shot, l.x(field * 100 + 4), bottom - static_cast<int>(16 * l.scale),
                    l.x(field * 100 + 100), bottom - 1);
}

void ProgramTest::SetUp() {
    const char *display = std::getenv("DISPLAY");
    if (!display || !std::getenv("JACK_DEFAULT_SERVER"))
        GTEST_SKIP() << "needs the test services (DISPLAY, JACK_DEFAULT_SERVER)";
    display_ = display;
    std::filesystem::create_directories(testOutDir());
}

void ProgramTest::TearDown() {
    if (program_.pid > 0 && stillRunning(program_.pid))
        waitExit(program_.pid, 0);
}

void ProgramTest::launchProgram(const Env &env, const std::vector<std::string> &unset) {
    Env all{{"DISPLAY", display_}, {"QT_STYLE_OVERRIDE", "Fusion"}, {"QT_SCALE_FACTOR", "1"}};
    all.insert(all.end(), env.begin(), env.end());
    // ONDRILUX_PROGRAM_UNDER_TEST runs a test against another build of the
    // program (an older one, to show what the test catches).
    const char *other = std::getenv("ONDRILUX_PROGRAM_UNDER_TEST");
    program_ = launch(other ? other : ONDRILUX_PROGRAM, testOutDir(), all, unset);
}

WindowBox ProgramTest::start(const JackProbe *keys, const Env &env) {
    launchProgram(env);
    const WindowBox box = findWindow(display_, "Ondrilux");
    // A window shows on the screen before its first paint: until its range
    // bar is there, nothing can be measured or clicked in it.
    double scale = 1.0;
    for (const auto &[name, value] : env)
        if (name == "QT_SCALE_FACTOR")
            scale = std::stod(value);
    for (int i = 0; box.id != 0 && i < 100; ++i) {
        if (measureLayout(shot("first-paint"), box, scale).clientTop > 0)
            break;
        sleepMs(100);
    }
    if (keys)
        keys->waitListening(0, 5);
    return box;
}

bool ProgramTest::listen(JackProbe &ears) {
    const std::string port = ears.programOutput(program_.pid, 5);
    if (port.empty() || !ears.listenTo(port))
        return false;
    ears.startRecording();
    return true;
}

std::string ProgramTest::shotPath(const std::string &name) const {
    return testOutDir() + "/" + name + ".png";
}

Image ProgramTest::shot(const std::string &name) const {
    return screenshot(display_, shotPath(name));
}

void ProgramTest::chooseMenuItem(const WindowBox &box, const Layout &l, const std::string &downs) {
    xdotool(display_, "mousemove " + std::to_string(box.x + 10) + " " +
                          std::to_string((box.y + l.clientTop) / 2));
    sleepMs(40);
    xdotool(display_, "click 1");
    sleepMs(300);
    xdotool(display_, "key " + downs + " Return");
}

bool ProgramTest::waitWindowGone(const std::string &title) const {
    for (int i = 0; i < 40 && windowExists(display_, title); ++i)
        sleepMs(50);
    return !windowExists(display_, title);
}

int ProgramTest::quitWithEscape(const WindowBox &box, double *seconds) {
    const auto start = std::chrono::steady_clock::now();
    xdotool(display_, "windowfocus --sync " + std::to_string(box.id) + " key Escape");
    const int status = waitExit(program_.pid, 10);
    if (seconds)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status;
}

void ProgramTest::expectSilentConsole() const {
    EXPECT_EQ(readFile(program_.outPath), "");
    EXPECT_EQ(readFile(program_.errPath), "");
}
