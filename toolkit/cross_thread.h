#pragma once

// Fixed tables behind the two calls that other threads make (sliderValue and
// postStatusText, toolkit.h), and statusBarExists. Fixed size so that another
// thread never meets a container that the GUI thread is changing: windows
// 0 to kCrossThreadWindows - 1 take part; others simply do not.

#include <atomic>

namespace tk {

inline constexpr int kCrossThreadWindows = 4;
inline constexpr int kMirroredControls = 64; // control identifiers 0 to 63
inline constexpr int kPostedFields = 8;      // status fields 0 to 7

// GUI thread: records a slider's new value for sliderValue.
void mirrorSliderValue(int window, int id, int value);
// GUI thread: records whether a window has a status bar for statusBarExists.
void mirrorStatusBarPresence(int window, bool present);
// GUI thread: forgets a window's mirrors and pending texts when it goes away.
void clearCrossThreadSlots(int window);
// Any thread: the mirrored presence of a status bar.
bool mirroredStatusBarPresence(int window);

// GUI thread: starts and stops watching for posted status texts.
bool startWatchingPostedTexts();
void stopWatchingPostedTexts();

// Counts the times a posted text woke the GUI thread; tests wait on it.
extern std::atomic<int> postedTextWakeUps;

} // namespace tk
