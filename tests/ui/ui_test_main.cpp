// Widget tests run on Qt's offscreen platform: no display needed.
#include "toolkit/toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    if (!tk::init(argc, argv))
        return 1;
    const int result = RUN_ALL_TESTS();
    tk::shutdown();
    return result;
}
