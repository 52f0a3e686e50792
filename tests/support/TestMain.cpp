#include <QApplication>
#include <gtest/gtest.h>

// One QApplication for the whole test program, as in the real one: OpenCV's windows and ours
// share it. Without a display the offscreen platform still paints, so pixels can be read back.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
