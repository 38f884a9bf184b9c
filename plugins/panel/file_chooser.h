#pragma once

// The desktop's own dialog for opening a file, asked for without blocking
// the thread that asks (a host's UI thread): the XDG desktop portal's
// FileChooser over D-Bus where the desktop answers on it, else `zenity`, else
// `kdialog`. A thread of the chooser's own waits for the player; the panel
// polls it as it idles.
#include <string>

struct FileChooser;

// What the dialog asks for: its title, the files it offers first by name
// ("Scala scales") and pattern ("*.scl"), and the X11 window it is for (0 for
// none).
struct FileChoice {
    std::string title;
    std::string filterName, pattern;
    unsigned long parentWindow = 0;
};

enum class FileChooserAnswer {
    waiting,    // the dialog still shows
    chosen,     // a file: its path
    cancelled,  // the player closed the dialog
    unavailable // no portal answered and neither program is installed
};

// Shows the dialog; never waits. Null only when no thread can be started.
FileChooser *startFileChooser(const FileChoice &choice);

// The player's answer so far, with the path of a file chosen.
FileChooserAnswer pollFileChooser(FileChooser *chooser, std::string &path);

// Closes the dialog where it still shows, waits for the chooser's thread (a
// tenth of a second at most) and frees it.
void closeFileChooser(FileChooser *chooser);
