// The main of the tests that use the toolkit: Qt's offscreen platform, since
// they need real widgets and event delivery, not a screen.
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no toolkit.
    if (!GTEST_FLAG_GET(list_tests)) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!tk::init(argc, argv))
            return 1;
    }
    const int result = RUN_ALL_TESTS();
    tk::shutdown();
    return result;
}
