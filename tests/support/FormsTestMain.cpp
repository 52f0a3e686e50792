#include "forms/TApplication.h"

#include <QtGlobal>
#include <gtest/gtest.h>

// The application object of the real program, on the offscreen platform when none is chosen.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    forms::TApplication application("tests");
    application.Initialize();
    return RUN_ALL_TESTS();
}
