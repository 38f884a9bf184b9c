#include "desktop.h"

#include <X11/Xlib.h>

#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    const std::string ppm = shell(display, "convert " + path + " -depth 8 ppm:-");
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

} // namespace

WindowBox findWindow(const std::string &display, const std::string &title, int seconds) {
    const std::string ids = shell(display, "timeout " + std::to_string(seconds) +
                                               " xdotool search --sync --onlyvisible --name '^" +
                                               title + "$' 2>/dev/null");
    WindowBox box;
    box.id = std::strtoul(ids.c_str(), nullptr, 10);
    if (box.id == 0)
        return box;
    const std::string info = shell(display, "xwininfo -id " + std::to_string(box.id));
    box.x = field(info, "Absolute upper-left X:");
    box.y = field(info, "Absolute upper-left Y:");
    box.width = field(info, "Width:");
    box.height = field(info, "Height:");
    return box;
}

bool windowExists(const std::string &display, const std::string &title) {
    return !shell(display, "xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null")
                .empty();
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

Launched launch(const std::string &program, const std::string &outDir,
                const std::vector<std::pair<std::string, std::string>> &env,
                const std::vector<std::string> &unset) {
    static int count = 0;
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
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
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

std::string findAudioPort(pid_t pid, int seconds) {
    // ALSA's jack plugin names its client after the process.
    const std::string mark = "." + std::to_string(pid) + ".";
    for (int i = 0; i < seconds * 10; ++i) {
        std::istringstream ports(shell("", "jack_lsp 2>/dev/null"));
        std::string line, any;
        while (std::getline(ports, line)) {
            if (line.find("out_000") == std::string::npos)
                continue;
            if (line.find(mark) != std::string::npos)
                return line;
            any = line;
        }
        if (!any.empty())
            return any;
        sleepMs(100);
    }
    return "";
}

std::vector<double> record(const std::string &port, int seconds, const std::string &path) {
    shell("", "jack_rec -f " + path + " -b 32 -d " + std::to_string(seconds) + " '" + port +
                  "' >/dev/null 2>&1");
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<double> samples(static_cast<size_t>(info.frames * info.channels));
    sf_read_double(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return samples;
}

bool stillRunning(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

void xdotool(const std::string &display, const std::string &args) {
    shell(display, "xdotool " + args + " >/dev/null 2>&1");
}

int clientAreaTop(const Image &shot, const WindowBox &box) {
    // The range bar's surface starts at client (42, 82); at the default range
    // its first green row is surface row 40.
    const int column = box.x + 42 + 8;
    for (int y = box.y; y < box.y + box.height; ++y)
        if (shot.at(column, y) == Rgb{0, 153, 0})
            return y - 122;
    return 0;
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

int statusFieldInk(const Image &shot, const WindowBox &box, int field) {
    const int bottom = box.y + box.height;
    return inkWidth(shot, box.x + field * 100 + 4, bottom - 16, box.x + field * 100 + 100,
                    bottom - 1);
}
