#include "main_window_fixture.h"

#include "engine/envelope.h"
#include "midi/note_handling.h"
#include "ui/about_box.h"
#include "ui/help_window.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTimer>

namespace {

enum class Kind { DropDown, Frame, Option, VSlider, HSlider, Label };

struct Expected {
    int id;
    Kind kind;
    QRect place;
    const char *text;            // frames, options, labels
    int minimum, maximum, value; // sliders
};

// In creation order, which is also the focus order of those that take focus.
constexpr Kind DropDown = Kind::DropDown, Frame = Kind::Frame, Option = Kind::Option,
               VSlider = Kind::VSlider, HSlider = Kind::HSlider, Label = Kind::Label;

// clang-format off
const Expected kControls[] = {
    {2, DropDown, {180, 10, 140, 20}, "", 0, 0, 0},
    {24, Frame, {80, 40, 290, 70}, "Bit Operations with a Static Value", 0, 0, 0},
    {11, Option, {120, 80, 60, 20}, "OR", 0, 0, 1},
    {12, Option, {200, 80, 60, 20}, "AND", 0, 0, 0},
    {13, Option, {280, 80, 60, 20}, "XOR", 0, 0, 0},
    {14, Option, {90, 140, 200, 20}, "Shift bits by 2 to left", 0, 0, 0},
    {15, Option, {90, 160, 300, 20}, "Rotate bits by 2 to left, leaving leftmost bit untouched", 0, 0, 0},
    {16, Option, {90, 180, 300, 20}, "Unconditionally make bits 4-8 from left = 0", 0, 0, 0},
    {17, Option, {90, 200, 420, 20},
     "If from left, bit3 is 0 and bit4 is 1, make bit4 = 0. If bit3 is 1 and bit4 is 1, make bit3 = 0", 0, 0, 0},
    {18, Option, {90, 220, 300, 20}, "If from left bits 4-5 are 0, make them 1", 0, 0, 0},
    {19, Option, {90, 240, 300, 20}, "If from left, bits 3-5 are 0, make bits 2-6 = 1", 0, 0, 0},
    {20, Option, {90, 260, 350, 20}, "Unconditionally flip value of bit 5 from left", 0, 0, 0},
    {21, Option, {90, 280, 300, 20}, "Unconditionally reverse bits 2-4 from left", 0, 0, 0},
    {22, Option, {90, 300, 350, 20}, "From left, reverse bits 2-4 And paste them at bit position 4", 0, 0, 0},
    {23, Option, {90, 320, 400, 20}, "From left, swap the positions in the bit pattern of bits 2-3 And 5-6", 0, 0, 0},
    {25, Frame, {80, 120, 440, 230}, "Other Bit Operations", 0, 0, 0},
    {3, VSlider, {420, 40, 20, 80}, "", 1, 2000, 1},
    {4, VSlider, {440, 40, 20, 80}, "", 1, 5000, 1000},
    {5, VSlider, {460, 40, 20, 80}, "", 0, 100, 50},
    {26, HSlider, {100, 60, 250, 20}, "", 0, 100, 50},
    {6, VSlider, {480, 40, 20, 80}, "", 1, 5000, 1500},
    {7, Label, {425, 27, 10, 20}, "A", 0, 0, 0},
    {9, Label, {445, 27, 10, 20}, "D", 0, 0, 0},
    {8, Label, {465, 27, 10, 20}, "S", 0, 0, 0},
    {10, Label, {485, 27, 10, 20}, "R", 0, 0, 0},
};
// clang-format on

} // namespace

class MainWindow : public MainWindowTest {
  public:
    QWidget *widgetOf(const Expected &e) {
        switch (e.kind) {
        case Kind::DropDown:
            return find<QComboBox>(e.place);
        case Kind::Frame:
            return find<QGroupBox>(e.place);
        case Kind::Option:
            return find<QRadioButton>(e.place);
        case Kind::VSlider:
        case Kind::HSlider:
            return find<QSlider>(e.place);
        case Kind::Label:
            return find<QLabel>(e.place);
        }
        return nullptr;
    }
};

TEST_F(MainWindow, HasTheTitleSizeMenuAndEveryControlAsCreated) {
    EXPECT_EQ(window->size(), QSize(535, 410));
    EXPECT_GT(origin.y(), 10) << "the menu bar should push the controls down";
    EXPECT_EQ(origin.x(), 0);
    EXPECT_EQ(synthState.midiDevice, tk::getState(kMainWindow, kDeviceList) == 0 ? 0 : -1);

    for (const Expected &e : kControls) {
        SCOPED_TRACE("control " + std::to_string(e.id));
        QWidget *w = widgetOf(e);
        ASSERT_NE(w, nullptr) << "nothing of its kind at its place";
        switch (e.kind) {
        case Kind::DropDown:
            EXPECT_FALSE(static_cast<QComboBox *>(w)->isEditable());
            EXPECT_EQ(tk::getState(kMainWindow, e.id), static_cast<QComboBox *>(w)->currentIndex());
            break;
        case Kind::Frame:
            EXPECT_EQ(static_cast<QGroupBox *>(w)->title(), e.text);
            break;
        case Kind::Option: {
            auto *b = static_cast<QRadioButton *>(w);
            EXPECT_EQ(b->text(), e.text);
            EXPECT_EQ(b->isChecked(), e.value == 1);
            EXPECT_EQ(tk::getState(kMainWindow, e.id), e.value);
            break;
        }
        case Kind::VSlider:
        case Kind::HSlider: {
            auto *s = static_cast<QSlider *>(w);
            EXPECT_EQ(s->orientation(), e.kind == Kind::VSlider ? Qt::Vertical : Qt::Horizontal);
            EXPECT_EQ(s->minimum(), e.minimum);
            EXPECT_EQ(s->maximum(), e.maximum);
            EXPECT_EQ(s->value(), e.value);
            EXPECT_EQ(tk::getState(kMainWindow, e.id), e.value);
            EXPECT_EQ(tk::sliderValue(kMainWindow, e.id), e.value);
            break;
        }
        case Kind::Label: {
            auto *l = static_cast<QLabel *>(w);
            EXPECT_EQ(l->text(), e.text);
            EXPECT_TRUE(l->alignment() & Qt::AlignLeft);
            // The identifier names this label: its text follows it.
            tk::setText(kMainWindow, e.id, "x");
            EXPECT_EQ(l->text(), "x");
            break;
        }
        }
    }

    EXPECT_EQ(rangeBarRows(), [] {
        std::vector<unsigned> rows(246, 0xEDEDED);
        std::fill(rows.begin() + 40, rows.begin() + 90, 0x009900u);
        return rows;
    }()) << "grey track with the green band on rows 40 to 89";
}

TEST_F(MainWindow, TabOrderFollowsTheCreationOrder) {
    std::vector<QWidget *> expected;
    for (const Expected &e : kControls)
        if (e.kind != Kind::Frame && e.kind != Kind::Label)
            expected.push_back(widgetOf(e));
    ASSERT_EQ(std::count(expected.begin(), expected.end(), nullptr), 0);

    std::vector<QWidget *> chain;
    QWidget *w = expected.front();
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && window->isAncestorOf(w))
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != expected.front());
    EXPECT_EQ(chain, expected);
}

TEST_F(MainWindow, ThirteenOptionButtonsAreOneGroupAcrossBothFrames) {
    auto *orButton = find<QRadioButton>(QRect(120, 80, 60, 20));
    auto *lastButton = find<QRadioButton>(QRect(90, 320, 400, 20));
    ASSERT_TRUE(orButton && lastButton);

    QTest::mouseClick(lastButton, Qt::LeftButton, {}, QPoint(8, 10));
    handlePendingEvents();
    EXPECT_FALSE(orButton->isChecked());
    EXPECT_EQ(tk::getState(kMainWindow, 11), 0);
    EXPECT_EQ(tk::getState(kMainWindow, 23), 1);
    EXPECT_EQ(synthState.operation.get(), 13);

    QTest::mouseClick(orButton, Qt::LeftButton, {}, QPoint(8, 10));
    handlePendingEvents();
    EXPECT_FALSE(lastButton->isChecked());
    EXPECT_EQ(synthState.operation.get(), 1);
    for (int id = 12; id <= 23; ++id)
        EXPECT_EQ(tk::getState(kMainWindow, id), 0) << id;
}

TEST_F(MainWindow, StatusBarHasThreeFieldsAndShowsTheNoteState) {
    ASSERT_TRUE(tk::statusBarExists(kMainWindow));
    std::vector<QLabel *> fields;
    for (QLabel *l : window->findChildren<QLabel *>())
        if (l->frameShape() != QFrame::NoFrame && placeOf(l).y() > 330)
            fields.push_back(l);
    std::sort(fields.begin(), fields.end(), [](QLabel *a, QLabel *b) { return a->x() < b->x(); });
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0]->width(), 100);
    EXPECT_EQ(fields[1]->width(), 100);
    EXPECT_EQ(fields[2]->width(), 30);
    EXPECT_EQ(placeOf(fields[0]).x(), 0);
    EXPECT_EQ(window->mapFromGlobal(fields[0]->mapToGlobal(fields[0]->rect().bottomLeft())).y(),
              409);
    EXPECT_TRUE(fields[1]->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(fields[1]->text(), "");

    // The note handling writes field 1 from the MIDI thread; it shows once
    // the GUI thread takes events.
    onMidiInput(synthState, kMidiInData, shortMessage(0x90, 69, 100));
    EXPECT_TRUE(waitUntil([&] { return fields[1]->text() == "On"; }))
        << fields[1]->text().toStdString();
    onMidiInput(synthState, kMidiInData, shortMessage(0x80, 69, 0));
    EXPECT_TRUE(waitUntil([&] { return fields[1]->text() == "Off"; }))
        << fields[1]->text().toStdString();
    EXPECT_EQ(fields[2]->text(), "");
}

TEST_F(MainWindow, EnvelopeArmsFromTheSlidersCurrentValues) {
    tk::setState(kMainWindow, kAttackSlider, 2000);
    tk::setState(kMainWindow, kDecaySlider, 5000);
    tk::setState(kMainWindow, kSustainSlider, 0);
    tk::setState(kMainWindow, kReleaseSlider, 1);
    synthState.gate.set(1);
    envelopeStep(synthState, 0);
    EXPECT_EQ(synthState.envelope.decaySeconds, 5.0);
    EXPECT_EQ(synthState.envelope.sustainLevel, 0.0);
    EXPECT_EQ(synthState.envelope.releaseSeconds, 0.001);
    EXPECT_GT(synthState.envelope.attackSeconds, 2.0);
    synthState.gate.set(0);
}

TEST(HelpText, HasThirteenLinesInSevenPieces) {
    const std::string text = helpText();
    EXPECT_EQ(text.size(), 707u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    ASSERT_EQ(lines.size(), 13u);
    for (int empty : {0, 2, 4, 6, 8, 12})
        EXPECT_EQ(lines[empty], "") << empty;
    EXPECT_EQ(lines[1], "All the bit operations are performed on a sinewave.");
    EXPECT_EQ(lines[3].substr(0, 20), "Choose an operation.");
    EXPECT_EQ(lines[9].substr(0, 16), "The way the appl");
    EXPECT_EQ(lines[10].substr(0, 14), "represented on");
    EXPECT_EQ(lines[11].substr(lines[11].size() - 20), "as the new waveform.");
}

TEST_F(MainWindow, AboutShowsItsTwoLinesModally) {
    bool seen = false;
    QString text;
    onNextMessageBox([&](QMessageBox *box) {
        seen = true;
        EXPECT_EQ(box->windowTitle(), "About");
        text = box->text();
        EXPECT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        box->accept();
    });
    handleLoopEvent(tk::Event{tk::EventKind::Menu, kMainWindow, kAboutCommand});
    EXPECT_TRUE(seen);
    EXPECT_EQ(text, "Ondrilux v1.02\nSound Synthesizer using bit operations");
    EXPECT_EQ(loopState.quitRequested, 0);
}

TEST_F(MainWindow, HelpIsModalShowsTheTextAndEndsOnlyWithItsCloseBox) {
    bool seen = false;
    onNextModal([&](QWidget *w) {
        seen = true;
        // Closed whatever the checks find, so that the modal wait ends.
        QTimer::singleShot(50, w, [w] { w->close(); });
        EXPECT_EQ(w->windowTitle(), "Ondrilux Help");
        EXPECT_EQ(w->size(), QSize(620, 373));
        EXPECT_EQ(w->windowModality(), Qt::ApplicationModal);
        auto *view = w->findChild<QPlainTextEdit *>();
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(QRect(view->mapTo(w, QPoint(0, 0)), view->size()), QRect(5, 5, 610, 360));
        EXPECT_TRUE(view->isReadOnly());
        EXPECT_EQ(view->lineWrapMode(), QPlainTextEdit::NoWrap);
        EXPECT_EQ(view->toPlainText().toStdString(), helpText());
        // Pointer activity over the range bar is no way out.
        QTest::mouseMove(rangeBar(), QPoint(10, 50));
        QTest::mouseClick(rangeBar(), Qt::LeftButton, {}, QPoint(10, 50));
    });
    handleLoopEvent(tk::Event{tk::EventKind::Menu, kMainWindow, kHelpCommand});
    EXPECT_TRUE(seen);
    EXPECT_EQ(topLevelTitled("Ondrilux Help"), nullptr);
    EXPECT_EQ(loopState.quitRequested, 0);
    EXPECT_EQ(synthState.rangeTop.get(), 40);
}
