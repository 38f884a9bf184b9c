#include "main_window_fixture.h"

#include "ui/range_bar.h"

#include <QSlider>
#include <QWindow>

#include <functional>

namespace {

using tk::EventType;
constexpr int L = tk::kLeftButton;

struct Step {
    EventType type;
    int y;
    int buttons = L;
};

struct Picture {
    int from, to; // rows from..to-1 in `colour`, the rest grey
    unsigned colour;
};
constexpr unsigned kGreen = 0x009900, kRed = 0xFF0000; // as 0xRRGGBB

struct DragCase {
    const char *name;
    int top, bottom; // edges before the steps
    std::vector<Step> steps;
    int wantTop, wantBottom, wantDraggingTop, wantDraggingBottom;
    Picture picture;
};

constexpr auto Press = EventType::LeftPressed, Click = EventType::LeftClick,
               Move = EventType::PointerMoved;

// clang-format off
const DragCase kDragCases[] = {
    {"press within 4 rows takes the top edge", 40, 90, {{Press, 36}}, 36, 90, 1, 0, {36, 90, kGreen}},
    {"press 5 rows away takes nothing", 40, 90, {{Press, 35}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"press within 4 rows takes the bottom edge", 40, 90, {{Press, 94}}, 40, 94, 0, 1, {40, 94, kGreen}},
    {"press 5 rows below the bottom takes nothing", 40, 90, {{Press, 95}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"within reach of both edges the top wins", 40, 46, {{Press, 43}}, 43, 46, 1, 0, {43, 46, kGreen}},
    {"the click after the press lets go; a near move takes it again", 40, 90,
     {{Press, 36}, {Click, 36}, {Move, 39}}, 39, 90, 1, 0, {39, 90, kGreen}},
    {"a move 5 rows away after the click leaves the edge behind", 40, 90,
     {{Press, 36}, {Click, 36}, {Move, 30}}, 36, 90, 0, 0, {36, 90, kGreen}},
    {"a held edge follows a far jump", 40, 90, {{Press, 40}, {Move, 150}}, 150, 90, 1, 0, {90, 150, kRed}},
    {"the top edge reaches row 2 but not 1 or 0, and stays held", 40, 90,
     {{Press, 40}, {Move, 2}, {Move, 1}, {Move, 0}}, 2, 90, 1, 0, {2, 90, kGreen}},
    {"back within the limits the held top edge follows again", 40, 90,
     {{Press, 40}, {Move, 1}, {Move, -30}, {Move, 50}}, 50, 90, 1, 0, {50, 90, kGreen}},
    {"the top edge reaches row 243 but not 244", 40, 90,
     {{Press, 40}, {Move, 243}, {Move, 244}}, 243, 90, 1, 0, {90, 243, kRed}},
    {"the bottom edge reaches row 245 but not 246", 40, 90,
     {{Press, 90}, {Move, 245}, {Move, 246}}, 40, 245, 0, 1, {40, 245, kGreen}},
    {"the bottom edge reaches row 4 but not 3", 40, 90,
     {{Press, 90}, {Move, 4}, {Move, 3}}, 40, 4, 0, 1, {4, 40, kRed}},
    {"swapped edges turn red; back in order they turn green", 40, 90,
     {{Press, 40}, {Move, 100}, {Move, 60}}, 60, 90, 1, 0, {60, 90, kGreen}},
    {"equal edges are stored but draw nothing", 40, 90,
     {{Press, 40}, {Move, 80}, {Move, 90}}, 90, 90, 1, 0, {80, 90, kGreen}},
    {"a held bottom edge passes the top edge's row without taking it", 40, 90,
     {{Press, 90}, {Move, 41}, {Move, 20}}, 40, 20, 0, 1, {20, 40, kRed}},
    {"a move without the left button lets go", 40, 90,
     {{Press, 40}, {Move, 50, 0}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"releasing lets go", 40, 90, {{Press, 90}, {EventType::LeftReleased, 90}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"entering lets go and moves nothing", 40, 90,
     {{Press, 40}, {EventType::PointerEntered, 45}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"leaving lets go", 40, 90, {{Press, 90}, {EventType::PointerLeft, 300}}, 40, 90, 0, 0, {40, 90, kGreen}},
    {"a double click lets go", 40, 90, {{Press, 36}, {EventType::DoubleClick, 36}}, 36, 90, 0, 0, {36, 90, kGreen}},
    {"another button lets go; a move with the left down catches the edge again", 40, 90,
     {{Press, 40}, {EventType::OtherButton, 40, tk::kRightButton}, {Move, 44, L | tk::kRightButton}},
     44, 90, 1, 0, {44, 90, kGreen}},
};
// clang-format on

std::vector<unsigned> expectedRows(const Picture &p) {
    std::vector<unsigned> rows(246, 0xEDEDED);
    std::fill(rows.begin() + p.from, rows.begin() + p.to, p.colour);
    return rows;
}

tk::Event rangeBarEvent(const Step &s) {
    return tk::Event{tk::EventKind::Control, kMainWindow, kRangeBar, s.type, 8, s.y, s.buttons};
}

} // namespace

class RangeBar : public MainWindowTest {};
class EventLoop : public MainWindowTest {};

TEST_F(RangeBar, DragCases) {
    for (const DragCase &c : kDragCases) {
        SCOPED_TRACE(c.name);
        synthState.rangeTop.set(c.top);
        synthState.rangeBottom.set(c.bottom);
        loopState = LoopState{};
        paintRangeBar();
        for (const Step &s : c.steps)
            handleLoopEvent(rangeBarEvent(s));
        EXPECT_EQ(synthState.rangeTop.get(), c.wantTop);
        EXPECT_EQ(synthState.rangeBottom.get(), c.wantBottom);
        EXPECT_EQ(loopState.draggingTop, c.wantDraggingTop);
        EXPECT_EQ(loopState.draggingBottom, c.wantDraggingBottom);
        EXPECT_EQ(rangeBarRows(), expectedRows(c.picture));
    }
}

TEST_F(RangeBar, RealPointerDragsTheTopEdgeAcrossTheWidth) {
    QWidget *bar = rangeBar();
    ASSERT_NE(bar, nullptr);
    QWindow *handle = window->windowHandle();
    const auto at = [&](int column, int row) {
        return bar->mapTo(window, QPoint(2 + column, 2 + row));
    };
    QTest::mouseMove(handle, at(15, 60));
    QTest::mousePress(handle, Qt::LeftButton, {}, at(0, 37));
    for (int row = 35; row >= 15; row -= 5)
        QTest::mouseMove(handle, at(row % 16, row));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, at(3, 15));
    handlePendingEvents();
    EXPECT_EQ(synthState.rangeTop.get(), 15);
    EXPECT_EQ(loopState.draggingTop, 0);
    EXPECT_EQ(rangeBarRows(), expectedRows({15, 90, kGreen}));
}

namespace {

struct DispatchCase {
    const char *name;
    tk::Event event;
    std::function<void()> before;
    int wantOperation;
    double wantStaticOperand;
    int wantQuit;
};

void none() {}

} // namespace

TEST_F(EventLoop, DispatchTable) {
    using tk::EventKind;
    const auto control = [](int id, EventType type = EventType::Changed) {
        return tk::Event{EventKind::Control, kMainWindow, id, type};
    };
    const auto menu = [](int command) { return tk::Event{EventKind::Menu, kMainWindow, command}; };
    const auto select = [](int id) { return [id] { tk::setState(kMainWindow, id, 1); }; };
    const auto slide = [](int id, int value) {
        return [=] { tk::setState(kMainWindow, id, value); };
    };
    const DispatchCase cases[] = {
        {"a selected option button sets its operation", control(17), select(17), 7, 50.0, 0},
        {"every option button maps to id - 10", control(23), select(23), 13, 50.0, 0},
        {"an option button that is not selected changes nothing", control(17), none, 1, 50.0, 0},
        {"the static-value slider sets the operand", control(26), slide(26, 37), 1, 37.0, 0},
        {"an option button's event type is not examined", control(17, EventType::LeftClick),
         select(17), 7, 50.0, 0},
        {"the slider's event type is not examined", control(26, EventType::None), slide(26, 37), 1,
         37.0, 0},
        {"envelope sliders change no state", control(4), slide(4, 10), 1, 50.0, 0},
        {"a control without an action is ignored", control(24), none, 1, 50.0, 0},
        {"Escape quits", menu(kQuitCommand), none, 1, 50.0, 1},
        {"an unknown command is ignored", menu(5), none, 1, 50.0, 0},
        {"the close box quits", tk::Event{EventKind::Close, kMainWindow}, none, 1, 50.0, 1},
        {"an empty event is ignored", tk::Event{}, none, 1, 50.0, 0},
    };
    for (const DispatchCase &c : cases) {
        SCOPED_TRACE(c.name);
        initSynthState(synthState);
        loopState = LoopState{};
        tk::setState(kMainWindow, 11, 1);
        tk::setState(kMainWindow, 26, 50);
        c.before();
        handleLoopEvent(c.event);
        EXPECT_EQ(synthState.operation.get(), c.wantOperation);
        EXPECT_EQ(synthState.staticOperand.get(), c.wantStaticOperand);
        EXPECT_EQ(loopState.quitRequested, c.wantQuit);
        EXPECT_EQ(synthState.rangeTop.get(), 40);
    }
}

TEST_F(EventLoop, OtherEventsDoNotTouchTheHeldEdge) {
    handleLoopEvent(rangeBarEvent({EventType::LeftPressed, 40}));
    handleLoopEvent(
        tk::Event{tk::EventKind::Control, kMainWindow, kStaticValueSlider, EventType::Changed});
    EXPECT_EQ(loopState.draggingTop, 1);
    handleLoopEvent(rangeBarEvent({EventType::PointerMoved, 30}));
    EXPECT_EQ(synthState.rangeTop.get(), 30);
}

TEST_F(EventLoop, DeviceListSwitchesToTheSelectedEntryWhateverTheEventType) {
    for (EventType type : {EventType::Changed, EventType::LeftClick}) {
        synthState.midiDevice = 7;
        handleLoopEvent(tk::Event{tk::EventKind::Control, kMainWindow, kDeviceList, type});
        EXPECT_EQ(synthState.midiDevice, tk::getState(kMainWindow, kDeviceList));
    }
}

TEST_F(EventLoop, SliderMovedByTheUserReachesTheOperand) {
    auto *slider = find<QSlider>(QRect(100, 60, 250, 20));
    ASSERT_NE(slider, nullptr);
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_End); // the user's own move: the right end
    handlePendingEvents();
    EXPECT_EQ(synthState.staticOperand.get(), 100.0);
}
