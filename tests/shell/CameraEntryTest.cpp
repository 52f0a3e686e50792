// The program's entry with camera 0 playing: the fake V4L2 camera linked into this program
// (tests/support/fake_camera) stands in for it.
#include "shell/Entry.h"

#include "forms/TApplication.h"
#include "playback/PlayVideo.h"
#include "shell/Unit1.h"

#include "support/ModalWatcher.h"
#include "support/ProgramResources.h"
#include "support/VideoWindow.h"
#include "support/fake_camera/FakeCamera.h"
#include "support/fake_camera/WhenPictureShown.h"

#include <QTimer>

#include <gtest/gtest.h>


namespace {

const QColor cameraColour(0xff, 0x80, 0x00);

TEST(CameraEntry, ClosingTheMainFormDuringCameraPlaybackEndsTheProgramWithExitCodeZero)
{
    InitProgramResources();
    setenv("FAKE_CAMERA_COLOUR", "FF8000", 1);
    QStringList messages;
    ModalWatcher user(ModalWatcher::AcknowledgeMessages(messages));
    bool cameraShown = false;
    bool playbackReturned = false;
    QTimer::singleShot(50, [&] {
        WhenPictureShown closeMainForm(cameraColour, [&](std::optional<QColor> shown) {
            cameraShown = shown && IsNear(*shown, cameraColour);
            Form1->close();
        });
        PlayVideo(std::nullopt);  // no name was ever accepted: camera 0
        playbackReturned = true;
    });

    const int exitCode = GuardedEntry([] {
        forms::Application->CreateForm(Form1);
        forms::Application->Run();
    });

    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(cameraShown) << "the camera never played";
    EXPECT_TRUE(playbackReturned);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    EXPECT_FALSE(videowindow::IsShown());
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the camera was left open";
}

}  // namespace
