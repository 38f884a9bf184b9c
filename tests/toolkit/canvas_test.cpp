#include "test_window.h"

#include <QApplication>
#include <QWheelEvent>

#include <cmath>
#include <set>

using namespace tk;

namespace {
constexpr unsigned kGrey = 0xEDEDED, kGreen = 0x009900, kRed = 0x0000FF, kBlue = 0xFF0000;
constexpr QRgb rgbOf(unsigned colour) {
    return qRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}
} // namespace

class CanvasTest : public ToolkitWindowTest {
  protected:
    void SetUp() override {
        open();
        // An odd position, so that fractional scales put it between device pixels.
        ASSERT_EQ(createCanvas(0, 0, 41, 81, 20, 250), 0);
    }
    // The window as shown, and the surface's top-left corner in its pixels.
    void shoot() {
        shot = widget->grab().toImage();
        dpr = shot.devicePixelRatio();
        origin = at(0, {2, 2});
    }
    QRgb pixel(int x, int y) const {
        return shot.pixel(int((origin.x() + x + 0.5) * dpr), int((origin.y() + y + 0.5) * dpr)) |
               0xFF000000;
    }
    void fill(int x, int y, int width, int height, unsigned colour) {
        ASSERT_TRUE(beginDrawing(0, 0));
        fillRectangle(x, y, width, height, colour);
        endDrawing();
    }
    std::vector<Event> pointerEvents() {
        std::vector<Event> events = drainEvents();
        for (const Event &e : events)
            EXPECT_TRUE(e.kind == EventKind::Control && e.window == 0 && e.id == 0);
        return events;
    }

    QImage shot;
    qreal dpr = 1;
    QPoint origin;
};

TEST_F(CanvasTest, SurfaceStartsWhiteAndShowsClippedFills) {
    EXPECT_FALSE(beginDrawing(0, 1));
    shoot();
    for (QPoint p : {QPoint(0, 0), QPoint(15, 245), QPoint(8, 120)})
        EXPECT_EQ(pixel(p.x(), p.y()), qRgb(255, 255, 255));

    fill(0, 0, 20, 250, kGrey);
    fill(0, 40, 20, 50, kGreen);
    fill(0, 100, 20, -10, kRed);  // rows 90 to 99
    fill(10, 200, -5, 3, kBlue);  // columns 5 to 9, rows 200 to 202
    fill(-3, -3, 5, 5, kGreen);   // clipped to (0,0)-(1,1)
    fill(14, 244, 99, 99, kBlue); // clipped to (14,244)-(15,245)
    shoot();
    const struct {
        int x, y;
        unsigned colour;
    } expected[] = {{0, 39, kGrey},   {15, 40, kGreen}, {0, 89, kGreen},  {0, 90, kRed},
                    {15, 99, kRed},   {0, 100, kGrey},  {5, 200, kBlue},  {9, 202, kBlue},
                    {10, 200, kGrey}, {4, 201, kGrey},  {5, 203, kGrey},  {1, 1, kGreen},
                    {2, 2, kGrey},    {0, 2, kGrey},    {14, 244, kBlue}, {15, 245, kBlue},
                    {13, 244, kGrey}};
    for (const auto &e : expected)
        EXPECT_EQ(pixel(e.x, e.y), rgbOf(e.colour)) << e.x << "," << e.y;
    // Nothing spills onto the border.
    EXPECT_NE(pixel(-1, -1), rgbOf(kGreen));
    EXPECT_NE(pixel(16, 246), rgbOf(kBlue));

    // Crisp at any scale: every device pixel of the surface has one of the
    // drawn colours, none a blend of two.
    const std::set<QRgb> drawn{rgbOf(kGrey), rgbOf(kGreen), rgbOf(kRed), rgbOf(kBlue)};
    const int left = int(std::ceil(origin.x() * dpr)), top = int(std::ceil(origin.y() * dpr));
    const int right = int((origin.x() + 16) * dpr), bottom = int((origin.y() + 246) * dpr);
    int blends = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            blends += drawn.count(shot.pixel(x, y) | 0xFF000000) == 0;
    EXPECT_EQ(blends, 0) << "at device-pixel ratio " << dpr;
}

TEST_F(CanvasTest, ReportsThePointerAndHoldsItWhileAButtonIsDown) {
    const QPoint outside = at(0, {-10, 100});
    QTest::mouseMove(window, outside);
    drainEvents();
    QTest::mouseMove(window, at(0, {7, 62}));
    QTest::mouseMove(window, at(0, {7, 63}));
    QTest::mousePress(window, Qt::LeftButton, {}, at(0, {7, 63}));
    QTest::mouseMove(window, at(0, {7, 2 + 300}));
    QTest::mouseMove(window, at(0, {30, -20}));
    QTest::mouseRelease(window, Qt::LeftButton, {}, at(0, {30, -20}));
    QTest::mouseMove(window, outside);

    const struct {
        EventType type;
        int x, y, buttons;
    } expected[] = {
        {EventType::PointerEntered, 5, 60, 0},
        {EventType::PointerMoved, 5, 61, 0},
        {EventType::LeftPressed, 5, 61, kLeftButton},
        {EventType::LeftClick, 5, 61, kLeftButton},
        {EventType::PointerMoved, 5, 300, kLeftButton}, // held beyond row 245
        {EventType::PointerMoved, 28, -22, kLeftButton},
        {EventType::LeftReleased, 28, -22, 0},
        {EventType::PointerLeft, 28, -22, 0},
    };
    const std::vector<Event> events = pointerEvents();
    ASSERT_EQ(events.size(), std::size(expected));
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].type, expected[i].type) << i;
        EXPECT_EQ(events[i].x, expected[i].x) << i;
        EXPECT_EQ(events[i].y, expected[i].y) << i;
        EXPECT_EQ(events[i].buttons, expected[i].buttons) << i;
    }
}

TEST_F(CanvasTest, DoubleClickOtherButtonsAndWheel) {
    const QPoint p = at(0, {10, 12});
    QTest::mouseMove(window, p);
    drainEvents();
    QTest::mouseDClick(window, Qt::LeftButton, {}, p);
    QTest::mousePress(window, Qt::RightButton, {}, p);
    QTest::mouseRelease(window, Qt::RightButton, {}, p);
    QWheelEvent wheel(QPointF(10, 12), widget->mapToGlobal(p), {}, {0, 120}, Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(controlWidget(0, 0), &wheel);

    const EventType expected[] = {
        EventType::LeftPressed, EventType::LeftClick,   EventType::LeftReleased,
        EventType::LeftPressed, EventType::DoubleClick, EventType::LeftReleased,
        EventType::OtherButton, EventType::OtherButton, EventType::Wheel};
    const std::vector<Event> events = pointerEvents();
    ASSERT_EQ(events.size(), std::size(expected));
    for (size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(events[i].type, expected[i]) << i;
    EXPECT_EQ(events[6].buttons, kRightButton);
    EXPECT_EQ(events[8].x, 8);
    EXPECT_EQ(events[8].y, 10);
}
