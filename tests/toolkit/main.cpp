#include "toolkit/toolkit.h"

#include <gtest/gtest.h>

// The application comes first: every test uses real widgets.
int main(int argc, char **argv) {
    if (!tk::init(argc, argv))
        return 1;
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    tk::shutdown();
    return result;
}
