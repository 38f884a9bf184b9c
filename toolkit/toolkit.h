#pragma once

// The GUI toolkit layer: a small procedural interface over Qt 6 Widgets, with
// integer identifiers for windows, controls and menu commands. Nothing outside
// toolkit/ includes a Qt header. Every call is for the GUI thread unless its
// comment says otherwise. Positions and sizes are device-independent pixels.
namespace tk {

inline constexpr int kAutoId = -1; // let the toolkit choose an identifier

// Called instead of Qt's abort when no window system takes the connection,
// with the reason (e.g. "could not connect to display :9"); the process then
// ends with status 1, before any window or stream exists.
using NoDisplayHandler = void (*)(const char *reason);
// Creates the application. Call once, on the thread that becomes the GUI thread.
bool init(int &argc, char **argv, NoDisplayHandler noDisplay = nullptr);
// Releases the application and every window.
void shutdown();
// Called when the connection to the window system breaks under the windows
// (the X server ended), on whichever thread notices it, in place of Qt's own
// exit, which would run while the program's other threads still run: it
// stops them and says so; the process then ends with status 1.
using DisplayLostHandler = void (*)();
void setDisplayLostHandler(DisplayLostHandler handler);
// Names the application to the desktop by its desktop entry's id (the file
// name without ".desktop"), which task bars and Wayland compositors match
// windows by, and gives every window the icon of that id compiled into the
// toolkit (dist/icons/hicolor), so it shows also when run from the build folder.
void setApplicationIdentity(const char *appId);

// ---- windows
// Opens a top-level window with a fixed client area, a title bar and a close
// box only, centred on the primary screen (clamped to it), shown at once.
// Returns its identifier (`id`, or a fresh one for kAutoId), or -1 on failure.
// The help window passes `modal` so the other windows take no input meanwhile.
int openWindow(int id, int clientWidth, int clientHeight, const char *title, bool modal = false);
void destroyWindow(int window);

// ---- menus and shortcuts
bool createMenuBar(int window);
int addMenu(int window, const char *title); // returns a menu handle, -1 on failure
bool addMenuItem(int menu, int command, const char *text);
enum class Key { Escape };
bool addShortcut(int window, Key key, int command);

// ---- controls (positions in the client area below the menu bar)
// Control identifiers are per window; kAutoId picks a fresh one, returned.
int createCanvas(int window, int id, int x, int y, int width, int height);
int createDropDown(int window, int id, int x, int y, int width, int height, int openHeight);
bool appendListItem(int window, int id, const char *text);
// Removes every entry; the list then has nothing selected.
bool clearList(int window, int id);
int createFrame(int window, int id, int x, int y, int width, int height, const char *caption);
// Consecutive option buttons of a window form one exclusive group.
int createOptionButton(int window, int id, int x, int y, int width, int height, const char *text);
enum class Orientation { Horizontal, Vertical };
// Vertical sliders have their maximum at the top.
int createSlider(int window, int id, int x, int y, int width, int height, int minimum, int maximum,
                 Orientation orientation);
int createLabel(int window, int id, int x, int y, int width, int height, const char *text);
// Read-only, both scroll bars, no word wrap.
int createTextView(int window, int id, int x, int y, int width, int height);
bool setText(int window, int id, const char *text);

// Option button: 1 selected, 0 not. Slider: its value. Drop-down list: the
// selected index, -1 for none. Setting a state issues no event.
bool setState(int window, int id, int value);
int getState(int window, int id);

// ---- status bar
bool createStatusBar(int window);
bool addStatusField(int window, int width);
// Any thread for windows 0 to 3 (never waits); GUI thread for the others.
bool statusBarExists(int window);
bool setStatusText(int window, int field, const char *text); // centred

// ---- drawing on a canvas's surface (inside its 2-pixel sunken border)
// Colours are 0xBBGGRR. Negative sizes span the other way; drawing is clipped.
bool beginDrawing(int window, int canvas);
void fillRectangle(int x, int y, int width, int height, unsigned colour);
void endDrawing(); // shows the result

// ---- events
enum class EventKind { None, Control, Menu, Close };
// Event types of control events. Canvas events use the pointer types;
// option buttons, sliders and lists report Changed.
enum class EventType {
    None,
    Changed,
    LeftPressed,
    LeftClick, // right after every LeftPressed
    LeftReleased,
    DoubleClick,
    PointerMoved,
    PointerEntered,
    PointerLeft,
    OtherButton, // right or middle pressed or released
    Wheel,
};
inline constexpr int kLeftButton = 1, kRightButton = 2, kMiddleButton = 4;

struct Event {
    EventKind kind = EventKind::None;
    int window = -1;
    int id = -1; // control identifier, or menu command
    EventType type = EventType::None;
    int x = 0, y = 0; // canvas: pointer position on the drawing surface
    int buttons = 0;  // canvas: buttons held when the event arose
};

// Waits for the next event of any window: without a limit (timeoutMs < 0), or
// for at most timeoutMs milliseconds (then kind None). Events arise only from
// user actions.
Event waitEvent(int timeoutMs = -1);

// Modal message box with one OK button and no icon; returns when dismissed.
void messageBox(const char *title, const char *text);

// ---- from other threads
// Any thread, never waits, never allocates: the slider's current value as of
// its last change on the GUI thread (its initial value before any). 0 for a
// slider that does not exist (yet); only windows 0 to 3 and identifiers 0 to
// 63 are served.
int sliderValue(int window, int id);
// Any thread, never waits, never allocates (fit for a real-time thread):
// hands `text`, which must be a string with static storage, to the GUI thread,
// which shows it in status field `field` of `window` when it next takes events
// (also inside waits and modal loops). Windows 0 to 3, fields 0 to 7.
void postStatusText(int window, int field, const char *text);

// GUI thread: registers `handler` for wake-ups from other threads and returns
// its signal (0 to 7), -1 when all are taken. The handler runs on the GUI
// thread, in whatever loop takes events (also inside waits and modal loops).
int addWakeUp(void (*handler)());
// Any thread, never waits, never allocates (fit for a real-time thread): asks
// the GUI thread to run the handler of `signal`. Posts that arrive before it
// runs are run once.
void postWakeUp(int signal);
// GUI thread: runs `handler` once, `ms` milliseconds from now, in whatever
// loop takes events then.
void callAfter(int ms, void (*handler)());

} // namespace tk
