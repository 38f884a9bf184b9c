#pragma once

// Test support for the MIDI and audio tests: a stand-in for the main window
// (window 0 with the device list and a two-field status bar) on the real
// toolkit, and read-back of what the program showed on it. The toolkit offers
// no getters, so the read-back looks at its widgets; Qt stays inside
// window_probe.cpp.

#include "tests/support/events.h"

#include <functional>
#include <string>
#include <vector>

// Resets the synth state as start-up does, then opens window 0 with
// drop-down list 2 and a status bar of two fields. While it is open, what the
// note handling hands to status field 1 shows there, as in the main window,
// and is counted.
bool openDeviceWindow();
void closeDeviceWindow();

// Texts handed to status field 1 since the window opened or the last reset.
int gateTextsHeard();
void resetGateTextsHeard();

// JACK puts a new connection into its graph a cycle or so after making it,
// and a message sent before that is lost. Active sensing changes no state but
// reaches the note handling: calls `sendActiveSensing` until one is counted
// (false after 2 s).
bool waitUntilHeard(const std::function<void()> &sendActiveSensing);

// The entries of drop-down list `id` of `window`, top to bottom.
std::vector<std::string> listItems(int window, int id);
// The device list's entry named `name`; -1 when there is none.
int deviceEntry(const std::string &name);
// Lists the MIDI inputs, opens the entry `port` as start-up does and waits
// until `sendActiveSensing` is heard through it.
bool listOpenAndHear(const std::string &port, const std::function<void()> &sendActiveSensing);
// The text of a status field; "<none>" when the field does not exist.
std::string statusText(int window, int field);

// Dismisses the next modal message box about `ms` after it opens and keeps its
// title and text for lastMessageBox().
void dismissNextMessageBox(int ms);
struct MessageBoxSeen {
    int count = 0;
    std::string title, text;
};
MessageBoxSeen lastMessageBox();
