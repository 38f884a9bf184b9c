#pragma once

// Taking the toolkit's events in tests, on the GUI thread.
#include "toolkit/toolkit.h"

#include <functional>
#include <vector>

class QMessageBox;
class QWidget;

// Every event already queued or arising from what Qt still has to deliver,
// each handed to `each` (when given) as it is taken.
std::vector<tk::Event> drainEvents(const std::function<void(const tk::Event &)> &each = {});

// Takes events (which applies status texts posted from other threads) until
// `done` holds; false when it still does not after `ms` milliseconds.
bool waitUntil(const std::function<bool()> &done, int ms = 2000);
// Takes events for `ms` milliseconds.
void takeEvents(int ms);

// Runs `act` once on the next modal window, from the event loop that window
// runs: while it is open the test's own code does not run.
void onNextModal(std::function<void(QWidget *)> act);
// The same for a modal window that must be a message box: any other fails
// the test and is closed.
void onNextMessageBox(std::function<void(QMessageBox *)> act);
