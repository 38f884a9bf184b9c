#include "test_window.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QSlider>
#include <QStyleFactory>
#include <QStyleOptionSlider>

#include <optional>

using namespace tk;

namespace {
std::optional<Event> onlyEvent(const std::vector<Event> &events) {
    if (events.size() != 1)
        return std::nullopt;
    return events[0];
}

QRect sliderHandle(QSlider *slider) {
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = option.sliderValue = slider->value();
    option.upsideDown = slider->orientation() == Qt::Vertical;
    return slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle,
                                           slider);
}
} // namespace

using ControlsTest = ToolkitWindowTest;

TEST_F(ControlsTest, SettingStatesIssuesNoEvents) {
    open();
    ASSERT_EQ(createOptionButton(0, 11, 10, 10, 60, 20, "OR"), 11);
    ASSERT_EQ(createOptionButton(0, 12, 80, 10, 60, 20, "AND"), 12);
    ASSERT_EQ(createSlider(0, 3, 10, 40, 20, 80, 1, 2000, Orientation::Vertical), 3);
    ASSERT_EQ(createDropDown(0, 2, 10, 130, 140, 20, 350), 2);
    EXPECT_EQ(createDropDown(0, 2, 10, 130, 140, 20, 350), -1);
    const int fresh = createLabel(0, kAutoId, 0, 0, 10, 10, "");
    EXPECT_GE(fresh, 0);
    EXPECT_NE(fresh, 11);
    for (const char *name : {"Port A", "Port B"})
        ASSERT_TRUE(appendListItem(0, 2, name));
    EXPECT_EQ(getState(0, 2), -1);
    EXPECT_EQ(getState(0, 3), 1);

    EXPECT_TRUE(setState(0, 11, 1));
    EXPECT_TRUE(setState(0, 12, 1));
    EXPECT_TRUE(setState(0, 3, 1500));
    EXPECT_TRUE(setState(0, 2, 1));
    EXPECT_TRUE(drainEvents().empty());
    EXPECT_EQ(getState(0, 11), 0);
    EXPECT_EQ(getState(0, 12), 1);
    EXPECT_EQ(getState(0, 3), 1500);
    EXPECT_EQ(sliderValue(0, 3), 1500);
    EXPECT_EQ(getState(0, 2), 1);
    EXPECT_TRUE(setState(0, 12, 0));
    EXPECT_EQ(getState(0, 12), 0);
}

TEST_F(ControlsTest, ConsecutiveOptionButtonsFormOneGroupAcrossFrames) {
    open();
    createFrame(0, 24, 5, 5, 290, 70, "Upper");
    createOptionButton(0, 11, 20, 30, 60, 20, "OR");
    createOptionButton(0, 14, 20, 110, 200, 20, "Shift");
    // Created after the button that stands on it: must not take its clicks.
    createFrame(0, 25, 5, 90, 290, 70, "Lower");
    createLabel(0, 7, 5, 170, 10, 20, "A");
    createOptionButton(0, 30, 20, 200, 60, 20, "Other");
    setState(0, 11, 1);
    setState(0, 30, 1);

    QTest::mouseClick(window, Qt::LeftButton, {}, at(14, {8, 10}));
    const std::optional<Event> e = onlyEvent(drainEvents());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, EventKind::Control);
    EXPECT_EQ(e->id, 14);
    EXPECT_EQ(e->type, EventType::Changed);
    EXPECT_EQ(getState(0, 14), 1);
    EXPECT_EQ(getState(0, 11), 0);
    EXPECT_EQ(getState(0, 30), 1); // a label stands between: another group

    QTest::mouseClick(window, Qt::LeftButton, {}, at(14, {8, 10}));
    ASSERT_TRUE(onlyEvent(drainEvents())); // a click on the selected one counts too
}

TEST_F(ControlsTest, SlidersReportEveryUserMoveWithTheMaximumAtTheTop) {
    open();
    createSlider(0, 3, 10, 40, 20, 80, 1, 2000, Orientation::Vertical);
    createSlider(0, 26, 50, 40, 250, 20, 0, 100, Orientation::Horizontal);
    auto *vertical = static_cast<QSlider *>(controlWidget(0, 3));
    auto *horizontal = static_cast<QSlider *>(controlWidget(0, 26));
    EXPECT_EQ(sliderValue(0, 3), 1);

    setState(0, 3, 2000);
    const int topY = sliderHandle(vertical).center().y();
    setState(0, 3, 1);
    EXPECT_LT(topY, sliderHandle(vertical).center().y());

    vertical->setFocus();
    QTest::keyClick(vertical, Qt::Key_Up);
    EXPECT_EQ(getState(0, 3), 2);
    QTest::keyClick(vertical, Qt::Key_PageUp);
    const int afterPage = getState(0, 3);
    EXPECT_GT(afterPage, 2);
    QTest::mouseClick(window, Qt::LeftButton, {}, at(3, {10, 3}));
    EXPECT_GT(getState(0, 3), afterPage);
    EXPECT_EQ(sliderValue(0, 3), getState(0, 3));
    std::vector<Event> events = drainEvents();
    ASSERT_EQ(events.size(), 3u);
    for (const Event &e : events) {
        EXPECT_EQ(e.id, 3);
        EXPECT_EQ(e.type, EventType::Changed);
    }

    horizontal->setFocus();
    QTest::keyClick(horizontal, Qt::Key_Right);
    EXPECT_EQ(getState(0, 26), 1);
    QTest::mouseClick(window, Qt::LeftButton, {}, at(26, {245, 10}));
    EXPECT_GT(getState(0, 26), 1);
    EXPECT_EQ(drainEvents().size(), 2u);
}

TEST_F(ControlsTest, DropDownReportsEveryChoiceAlsoTheSameAgain) {
    open();
    createDropDown(0, 2, 10, 10, 140, 20, 350);
    for (const char *name : {"Port A", "Port B", "Port C"})
        appendListItem(0, 2, name);
    auto *box = static_cast<QComboBox *>(controlWidget(0, 2));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(getState(0, 2), 0);
    EXPECT_TRUE(onlyEvent(drainEvents()));

    box->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box->view()->window()));
    QTest::keyClick(box->view(), Qt::Key_Return);
    EXPECT_EQ(getState(0, 2), 0);
    const std::optional<Event> e = onlyEvent(drainEvents());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, 2);
}

// Fusion widens the open list by itself; the Windows style keeps it as wide
// as the closed box unless told.
TEST_F(ControlsTest, DropDownsOpenListShowsLongNamesWholeAndTheBoxKeepsItsSize) {
    open();
    createDropDown(0, 2, 10, 10, 140, 20, 350);
    auto *box = static_cast<QComboBox *>(controlWidget(0, 2));
    box->setStyle(QStyleFactory::create("Windows"));
    box->style()->setParent(qApp);
    for (const char *name : {"Midi Through:Midi Through Port-", "Virtual Raw MIDI 1-0:VirMIDI 1-"})
        appendListItem(0, 2, name);
    box->showPopup();
    QWidget *list = box->view()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list));
    EXPECT_GE(box->view()->viewport()->width(), box->view()->sizeHintForColumn(0));
    EXPECT_EQ(list->mapToGlobal(QPoint(0, 0)).x(), box->mapToGlobal(QPoint(0, 0)).x());
    box->hidePopup();
    EXPECT_EQ(box->geometry(), QRect(QPoint(10, 10), QSize(140, 20)));
}

TEST_F(ControlsTest, TextViewIsReadOnlyAndKeepsCarriageReturnLines) {
    open();
    const int id = createTextView(0, kAutoId, 5, 5, 200, 100);
    ASSERT_GE(id, 0);
    ASSERT_TRUE(setText(0, id, "\rfirst line\rsecond\r"));
    auto *view = static_cast<QPlainTextEdit *>(controlWidget(0, id));
    EXPECT_EQ(view->toPlainText(), "\nfirst line\nsecond\n");
    EXPECT_EQ(view->blockCount(), 4);
    EXPECT_TRUE(view->isReadOnly());
    EXPECT_EQ(view->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

// A caption too long for its button gets a smaller font, down to 7 points, and
// the whole text as a tooltip; a caption that fits keeps the window's font.
TEST_F(ControlsTest, OptionCaptionsShrinkToFitTheirButton) {
    open(500, 100);
    const char *longText = "Rotate bits by 2 to left, leaving leftmost bit untouched";
    ASSERT_EQ(createOptionButton(0, 11, 10, 10, 300, 20, "OR"), 11);
    ASSERT_EQ(createOptionButton(0, 12, 10, 40, 300, 20, longText), 12);
    auto *fits = static_cast<QAbstractButton *>(tk::controlWidget(0, 11));
    auto *shrunk = static_cast<QAbstractButton *>(tk::controlWidget(0, 12));

    EXPECT_EQ(fits->font(), QApplication::font());
    EXPECT_TRUE(fits->toolTip().isEmpty());
    EXPECT_LT(shrunk->font().pointSizeF(), QApplication::font().pointSizeF());
    EXPECT_GE(shrunk->font().pointSizeF(), 7.0);
    EXPECT_LE(shrunk->sizeHint().width(), 300);
    EXPECT_EQ(shrunk->toolTip(), QString(longText));
    EXPECT_EQ(shrunk->text(), QString(longText));
}
