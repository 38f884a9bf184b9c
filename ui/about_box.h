#pragma once

// The modal About box; returns when it has been dismissed. GUI thread.
void showAbout();
