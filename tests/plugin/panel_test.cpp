// The plugin's panel loaded from the bundle as an LV2 host loads it, with the
// features a careful or a careless host gives, on the test display: it
// refuses what it cannot open in, copes with odd scale factors, and lets go
// of a control when it is destroyed in the middle of a drag.
#include "tests/support/desktop.h"

#include "plugins/controls/control_ports.h"
#include "plugins/panel/panel_layout.h"

#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string kUiLibrary = std::string(ONDRILUX_LV2_PATH) + "/ondrilux.lv2/ondrilux_ui.so";
constexpr const char *kPlugin = "https://ondrilux.org/lv2/ondrilux";

// What the panel asked of its host.
struct Host {
    std::vector<std::string> uris;
    std::vector<std::pair<uint32_t, float>> writes;
    std::vector<std::pair<uint32_t, bool>> touches;
    int width = 0, height = 0;

    static LV2_URID map(LV2_URID_Map_Handle h, const char *uri) {
        auto &uris = static_cast<Host *>(h)->uris;
        for (size_t i = 0; i < uris.size(); ++i)
            if (uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        uris.push_back(uri);
        return static_cast<LV2_URID>(uris.size());
    }
    static void write(LV2UI_Controller h, uint32_t port, uint32_t size, uint32_t format,
                      const void *buffer) {
        if (format == 0 && size == sizeof(float))
            static_cast<Host *>(const_cast<void *>(h))
                ->writes.emplace_back(port, *static_cast<const float *>(buffer));
    }
    static void touch(LV2UI_Feature_Handle h, uint32_t port, bool grabbed) {
        static_cast<Host *>(h)->touches.emplace_back(port, grabbed);
    }
    static int resize(LV2UI_Feature_Handle h, int width, int height) {
        static_cast<Host *>(h)->width = width;
        static_cast<Host *>(h)->height = height;
        return 0;
    }
};

enum class Parent { none, real, missing };

class Panel : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "needs the test services' display (DISPLAY)";
        display_ = display;
        library_ = dlopen(kUiLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_)
            GTEST_SKIP() << "the plugin is built without its panel: " << dlerror();
        auto descriptor = reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(
            dlsym(library_, "lv2ui_descriptor"));
        ASSERT_NE(descriptor, nullptr);
        ui_ = descriptor(0);
        ASSERT_NE(ui_, nullptr);
        x_ = XOpenDisplay(nullptr);
        ASSERT_NE(x_, nullptr);
        // A host's window at the screen's top left, where the pointer finds it.
        parent_ = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 1000, 500, 0, 0, 0);
        XMapRaised(x_, parent_);
        XSync(x_, False);
    }
    void TearDown() override {
        if (x_) {
            XDestroyWindow(x_, parent_);
            XCloseDisplay(x_);
        }
        if (library_)
            dlclose(library_);
    }

    // Instantiates the panel with `parent`, the idle feature or not, and the
    // scale factor as a float option when there is one.
    LV2UI_Handle open(Parent parent, bool idle, std::optional<float> scale = {}) {
        mapFeature_ = {&host_, Host::map};
        touchFeature_ = {&host_, Host::touch};
        resizeFeature_ = {&host_, Host::resize};
        scale_ = scale.value_or(0.0f);
        options_[0] = {LV2_OPTIONS_INSTANCE,
                       0,
                       Host::map(&host_, LV2_UI__scaleFactor),
                       sizeof(float),
                       Host::map(&host_, LV2_ATOM__Float),
                       &scale_};
        options_[1] = {};
        const unsigned long missing = 0x1ffffff0;
        features_ = {{LV2_URID__map, &mapFeature_},
                     {LV2_UI__touch, &touchFeature_},
                     {LV2_UI__resize, &resizeFeature_}};
        if (parent != Parent::none)
            features_.push_back({LV2_UI__parent, reinterpret_cast<void *>(
                                                     parent == Parent::real ? parent_ : missing)});
        if (idle)
            features_.push_back({LV2_UI__idleInterface, nullptr});
        if (scale)
            features_.push_back({LV2_OPTIONS__options, options_});
        pointers_.clear();
        for (const LV2_Feature &f : features_)
            pointers_.push_back(&f);
        pointers_.push_back(nullptr);
        LV2UI_Widget widget = nullptr;
        return ui_->instantiate(ui_, kPlugin, "", Host::write, &host_, &widget, pointers_.data());
    }
    int idle(LV2UI_Handle handle) const {
        auto *i =
            static_cast<const LV2UI_Idle_Interface *>(ui_->extension_data(LV2_UI__idleInterface));
        return i->idle(handle);
    }
    // Idles the panel until it writes `value` to `port`, 2 s at most; whether it did.
    bool idleUntilWritten(LV2UI_Handle handle, uint32_t port, float value) {
        for (int i = 0; i < 200; ++i, sleepMs(10)) {
            idle(handle);
            for (const auto &[p, v] : host_.writes)
                if (p == port && v == value)
                    return true;
        }
        return false;
    }
    // Presses the left button on the range bar's top edge (row 40: y 36 + 2 + 40)
    // and drags it to row 82.
    void dragTopEdge(LV2UI_Handle handle) {
        for (int i = 0; i < 5; ++i, sleepMs(10))
            idle(handle);
        xdotool(display_, "mousemove 26 78 mousedown 1");
        sleepMs(50);
        xdotool(display_, "mousemove 26 120");
    }

    std::string display_;
    void *library_ = nullptr;
    const LV2UI_Descriptor *ui_ = nullptr;
    Display *x_ = nullptr;
    Window parent_ = 0;
    Host host_;
    LV2_URID_Map mapFeature_{};
    LV2UI_Touch touchFeature_{};
    LV2UI_Resize resizeFeature_{};
    float scale_ = 0.0f;
    LV2_Options_Option options_[2]{};
    std::vector<LV2_Feature> features_;
    std::vector<const LV2_Feature *> pointers_;
};

// Where the panel's items lie (its layout alone, no display): a point hits
// the item it lies in, up to and not including its right and bottom edges.
// Items: 0 the range bar (16, 36, 20 x 250), 1 the picture, 2-14 the
// operations (312, 36 + 19 (op - 1), 570 x 19), then the sliders and toggles
// in three columns 290 apart from x 16 and rows 26 apart from y 312.
TEST(PanelLayout, APointHitsTheItemItLiesIn) {
    const std::tuple<double, double, int> points[] = {
        {16, 36, 0},        {35.9, 285.9, 0},   {36, 100, -1},  {20, 286, -1},  {296, 100, -1},
        {312, 55, 3},       {881.9, 282.9, 14}, {882, 100, -1}, {300, 320, -1}, {306, 312, 19},
        {875.9, 389.9, 25}, {16, 415.9, 18},    {16, 416, -1}};
    for (const auto &[x, y, item] : points)
        EXPECT_EQ(panelItemAt(x, y), item) << x << ", " << y;
}

// Refused without a window to open in or a host to drive it; drawn at 1
// where the scale factor is absent or makes no sense, else at the host's.
TEST_F(Panel, RefusesWhatItCannotOpenInAndCopesWithOddScaleFactors) {
    struct Case {
        const char *what;
        Parent parent;
        bool idle;
        std::optional<float> scale;
        int width, height; // 0: refused
    };
    const Case cases[] = {
        {"no parent window", Parent::none, true, {}, 0, 0},
        {"no idle interface", Parent::real, false, {}, 0, 0},
        {"a parent window that does not exist", Parent::missing, true, {}, 0, 0},
        {"no scale factor", Parent::real, true, {}, 896, 466},
        {"scale factor 2", Parent::real, true, 2.0f, 1792, 932},
        {"scale factor 0.5", Parent::real, true, 0.5f, 448, 233},
        {"scale factor 0", Parent::real, true, 0.0f, 896, 466},
        {"scale factor 100", Parent::real, true, 100.0f, 896, 466},
        {"scale factor NaN", Parent::real, true, NAN, 896, 466},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        host_.width = host_.height = 0;
        LV2UI_Handle handle = open(c.parent, c.idle, c.scale);
        EXPECT_EQ(handle != nullptr, c.width != 0);
        if (!handle)
            continue;
        EXPECT_EQ(host_.width, c.width);
        EXPECT_EQ(host_.height, c.height);
        EXPECT_EQ(idle(handle), 0);
        ui_->cleanup(handle);
    }
    EXPECT_TRUE(host_.writes.empty()) << "the panel wrote a control unasked";
}

// A drag cut short by the host: the panel lets go of the edge it held, and
// survives its window going with the host's before it is destroyed.
TEST_F(Panel, LetsGoOfTheRangeEdgeWhenDestroyedInTheMiddleOfADrag) {
    for (const bool windowFirst : {false, true}) {
        SCOPED_TRACE(windowFirst ? "the host's window destroyed first" : "destroyed at once");
        host_ = {};
        LV2UI_Handle handle = open(Parent::real, true);
        ASSERT_NE(handle, nullptr);
        dragTopEdge(handle);
        EXPECT_TRUE(idleUntilWritten(handle, kRangeTopPort, 82.0f));
        ASSERT_FALSE(host_.touches.empty());
        EXPECT_EQ(host_.touches.front(), std::make_pair(uint32_t{kRangeTopPort}, true));
        if (windowFirst) { // the panel's window goes with the host's
            XDestroyWindow(x_, parent_);
            XSync(x_, False);
            parent_ = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 1000, 500, 0, 0, 0);
            int gone = 0;
            for (int i = 0; i < 100 && gone == 0; ++i, sleepMs(10))
                gone = idle(handle);
            EXPECT_NE(gone, 0) << "the idle call did not tell the host the panel is gone";
        }
        ui_->cleanup(handle);
        xdotool(display_, "mouseup 1");
        EXPECT_EQ(host_.touches.back(), std::make_pair(uint32_t{kRangeTopPort}, false));
    }
}

} // namespace
