#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/DuringPlayback.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/fake_camera/WhenPictureShown.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace testcolours;

class PlayVideoTest : public testing::Test {
protected:
    // HighGUI services events while it creates a window; with the window made beforehand,
    // the first events serviced during a command are those of its frame loop.
    void MakeWindow() { PlayVideo(videos.Write("one.avi", {white})); }

    TestVideoFolder videos;
};

TEST_F(PlayVideoTest, PlaysFileToItsEndAndKeepsShowingTheLastFrame)
{
    const std::string path = videos.Write("clip.avi", {red, green, green, blue});

    PlayVideo(path);

    ASSERT_EQ(videowindow::Count(), 1);
    EXPECT_TRUE(videowindow::IsShown());
    const auto shown = videowindow::ShownColour();
    ASSERT_TRUE(shown);
    EXPECT_TRUE(IsNear(*shown, blue)) << "shows " << shown->name().toStdString();
    EXPECT_EQ(SourceName(), path);
}

TEST_F(PlayVideoTest, CommandWithoutNameReplaysLastFileFromItsFirstFrame)
{
    const std::string path = videos.Write("clip.avi", {red, green, blue});
    PlayVideo(path);

    // The first picture the replay shows, looked at whenever events are serviced.
    std::optional<QColor> firstShown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        const auto shown = videowindow::ShownColour();
        if (!firstShown && shown && !IsNear(*shown, blue))
            firstShown = shown;
    });
    watch.start(0);
    PlayVideo(std::nullopt);

    EXPECT_EQ(SourceName(), path);
    ASSERT_TRUE(firstShown) << "the replay showed no frame";
    EXPECT_TRUE(IsNear(*firstShown, red)) << "first frame shown " << firstShown->name().toStdString();
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), blue));
}

TEST_F(PlayVideoTest, EachAcceptedNameReplacesTheOneReplayed)
{
    PlayVideo(videos.Write("first.avi", {red}));
    const std::string second = videos.Write("second.avi", {green});
    PlayVideo(second);

    PlayVideo(std::nullopt);

    EXPECT_EQ(SourceName(), second);
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), green));
}

TEST_F(PlayVideoTest, OneWindowAfterManyCommands)
{
    const std::string path = videos.Write("clip.avi", {red, green});
    for (int i = 0; i < 5; ++i) {
        PlayVideo(path);
        PlayVideo(std::string("missing.avi"));
    }
    PlayVideo(path);

    EXPECT_EQ(videowindow::Count(), 1);
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), green));
}

TEST_F(PlayVideoTest, WindowOpensAgainAfterTheUserClosedIt)
{
    const std::string path = videos.Write("clip.avi", {red, white});
    PlayVideo(path);
    videowindow::CloseAsUser();
    ASSERT_FALSE(videowindow::IsShown());

    PlayVideo(std::nullopt);

    EXPECT_EQ(videowindow::Count(), 1);
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), white));
}

TEST_F(PlayVideoTest, ClosingTheWindowEndsPlaybackAndItStaysClosed)
{
    // Long enough that it would still be playing, and show its window again, if closing
    // did not stop it.
    const std::string path = videos.WriteLong("long.avi", 3000, red, blue);
    MakeWindow();
    bool closed = false;
    DuringPlayback closeWindow([&] {
        videowindow::Find()->close();
        closed = true;
    });

    PlayVideo(path);

    ASSERT_TRUE(closed);
    EXPECT_FALSE(videowindow::IsShown());
}

TEST_F(PlayVideoTest, CommandGivenDuringPlaybackTakesOver)
{
    const std::string longClip = videos.WriteLong("long.avi", 3000, red, red);
    const std::string shortClip = videos.Write("short.avi", {green, blue});
    MakeWindow();
    DuringPlayback openAnother([&] { PlayVideo(shortClip); });

    PlayVideo(longClip);

    EXPECT_EQ(SourceName(), shortClip);
    EXPECT_EQ(videowindow::Count(), 1);
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), blue));
}

TEST_F(PlayVideoTest, CommandForASourceThatFailsStillEndsTheRunningPlayback)
{
    // Ends on blue: still playing when the command came, it would have shown blue at the end.
    const std::string longClip = videos.WriteLong("long.avi", 3000, red, blue);
    const std::string missing = videos.PathOf("missing.avi");
    MakeWindow();
    WhenPictureShown openMissing(red, [&](std::optional<QColor>) { PlayVideo(missing); });

    PlayVideo(longClip);

    EXPECT_EQ(SourceName(), missing);
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), red)) << "the first playback went on";
}

TEST_F(PlayVideoTest, CancelledCommandDuringPlaybackReplaysTheFileFromItsFirstFrame)
{
    std::vector<QColor> colours{green};
    colours.resize(3000, red);
    colours.push_back(blue);
    const std::string clip = videos.Write("long.avi", colours);
    MakeWindow();
    // Looks at the window whenever events are serviced: once the file is well under way the
    // dialog is cancelled, and from then on its first frame can only be the replay's.
    bool cancelled = false, replayStarted = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        const auto shown = videowindow::ShownColour();
        if (!cancelled && shown && IsNear(*shown, red)) {
            cancelled = true;
            PlayVideo(std::nullopt);
        } else if (cancelled && shown && IsNear(*shown, green)) {
            replayStarted = true;
        }
    });
    watch.start(0);

    PlayVideo(clip);

    EXPECT_EQ(SourceName(), clip);
    ASSERT_TRUE(cancelled) << "the file never played";
    EXPECT_TRUE(replayStarted) << "the file did not start again from its first frame";
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), blue)) << "the replay did not play to the end";
}

TEST_F(PlayVideoTest, OtherWindowsStayUsableDuringPlayback)
{
    const std::string path = videos.WriteLong("long.avi", 3000, red, blue);
    QPushButton button("Other");
    button.show();
    QSignalSpy clicks(&button, &QPushButton::clicked);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        if (++ticks == 2)
            QTest::mouseClick(&button, Qt::LeftButton);
    });
    timer.start(0);

    PlayVideo(path);

    EXPECT_GE(ticks, 2) << "timers did not run while frames played";
    EXPECT_EQ(clicks.count(), 1);
}

// Sources that can't be played end the command at once, silently, and leave the window up
// with the picture it had.
class UnplayableSource : public PlayVideoTest, public testing::WithParamInterface<std::string> {};

TEST_P(UnplayableSource, LeavesTheWindowUpWithNothingNew)
{
    PlayVideo(videos.Write("before.avi", {red, white}));
    std::string name = GetParam();
    if (name == "<empty video>")
        name = videos.WriteEmpty("empty.avi");
    else if (name == "<missing file>")
        name = videos.PathOf("missing.avi");

    PlayVideo(name);

    EXPECT_EQ(SourceName(), name);
    EXPECT_EQ(videowindow::Count(), 1);
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), white));
}

INSTANTIATE_TEST_SUITE_P(Sources, UnplayableSource,
                         testing::Values("<empty video>", "<missing file>", "",
                                         "9",   // a camera index with no device behind it
                                         "07",  // a relative file name that isn't there
                                         "a"));

TEST_F(PlayVideoTest, WindowExistsEvenWhenTheFirstSourceFails)
{
    PlayVideo(std::string("9"));

    EXPECT_EQ(videowindow::Count(), 1);
    EXPECT_TRUE(videowindow::IsShown());
}

}  // namespace
