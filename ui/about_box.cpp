#include "ui/about_box.h"

#include "toolkit/toolkit.h"

void showAbout() {
    tk::messageBox("About", "Ondrilux v1.01\nSound Synthesizer using bit operations");
}
