// The main of the MIDI and audio tests: the toolkit on Qt's offscreen
// platform, since the tests need the window's widgets, not a screen.
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!tk::init(argc, argv))
            return 1;
    }
    const int result = RUN_ALL_TESTS();
    tk::shutdown();
    return result;
}
