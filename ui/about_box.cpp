#include "ui/about_box.h"

#include "toolkit/toolkit.h"
#include "version.h"

#include <string>

void showAbout() {
    const std::string text =
        std::string("Ondrilux v") + kOndriluxVersion + "\nSound Synthesizer using bit operations";
    tk::messageBox("About", text.c_str());
}
