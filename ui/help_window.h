#pragma once

#include <string>

// The help window's text: 13 lines, with an empty line before each of the
// first five paragraphs and at the end.
std::string helpText();

// Opens the help window, modal, and takes events until its close box closes
// it; every other event meanwhile is dropped. Then destroys it. GUI thread.
void showHelp();
