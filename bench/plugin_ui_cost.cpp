// What the plugin's panel costs its host's UI thread: the panel loaded from
// the bundle as an LV2 host loads it, in a window of its own on $DISPLAY,
// idled 30 times a second as jalv does, for `seconds` with nothing happening
// and then with the level of a held note arriving at each idle (the sweeping
// pad's attack and decay, as jalv passes the plugin's level port on).
// Prints the panel's share of one core in each case, from the thread's CPU
// clock; the X server's drawing is the server's (see plugin_ui_cost.sh).
// Usage: ondrilux_plugin_ui_cost [seconds]
#include "plugins/controls/control_ports.h"

#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <X11/Xlib.h>
#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<std::string> gUris;
LV2_URID mapUri(LV2_URID_Map_Handle, const char *uri) {
    for (size_t i = 0; i < gUris.size(); ++i)
        if (gUris[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    gUris.push_back(uri);
    return static_cast<LV2_URID>(gUris.size());
}
void ignoreWrite(LV2UI_Controller, uint32_t, uint32_t, uint32_t, const void *) {}

// The sweeping pad's envelope, t seconds after its note-on: 1.6 s up, 3 s
// down to 60 %, roughly; only its motion matters here.
float padLevel(double t) {
    if (t < 1.6)
        return static_cast<float>(t / 1.6);
    return static_cast<float>(0.6 + 0.4 * std::exp(-(t - 1.6) / 1.0));
}

} // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string library = std::string(ONDRILUX_LV2_PATH) + "/ondrilux.lv2/ondrilux_ui.so";
    void *ui = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    Display *x = XOpenDisplay(nullptr);
    if (!ui || !x) {
        std::fprintf(stderr, "needs %s and a display\n", library.c_str());
        return 2;
    }
    auto descriptor =
        reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(dlsym(ui, "lv2ui_descriptor"))(0);
    const Window parent = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 900, 440, 0, 0, 0);
    XMapRaised(x, parent);
    XSync(x, False);
    LV2_URID_Map map{nullptr, mapUri};
    const LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void *>(parent)};
    const LV2_Feature idleFeature{LV2_UI__idleInterface, nullptr};
    const LV2_Feature *features[] = {&mapFeature, &parentFeature, &idleFeature, nullptr};
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle panel = descriptor->instantiate(descriptor, "https://ondrilux.org/lv2/ondrilux",
                                                 "", ignoreWrite, nullptr, &widget, features);
    if (!panel)
        return 1;
    const auto *idle = static_cast<const LV2UI_Idle_Interface *>(
        descriptor->extension_data(LV2_UI__idleInterface));

    // Idles at 30 Hz for `seconds`; with `note`, hands the level over first.
    auto measure = [&](bool note) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = threadSeconds();
        for (auto next = start;
             std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds);) {
            if (note) {
                const double t = std::chrono::duration<double>(next - start).count();
                const float level = padLevel(t);
                descriptor->port_event(panel, kLevelPort, sizeof level, 0, &level);
            }
            idle->idle(panel);
            next += std::chrono::microseconds(1000000 / 30);
            std::this_thread::sleep_until(next);
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return 100.0 * (threadSeconds() - cpu) / wall;
    };
    for (int i = 0; i < 10; ++i) // the first picture
        idle->idle(panel);
    std::printf("the panel's thread, idle: %.3f %% of one core\n", measure(false));
    std::printf("the panel's thread, a note's level at every idle: %.3f %% of one core\n",
                measure(true));
    descriptor->cleanup(panel);
    XDestroyWindow(x, parent);
    XCloseDisplay(x);
    return 0;
}
