// A file on storage that stalls (a USB disk spinning up, a network share's hiccup), faked by
// tests/support/slow_file: playback waits it out with the windows live.
#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/slow_file/SlowFile.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SlowFile, PlaybackWaitsOutAStallWithTheWindowsLiveAndReachesTheLastFrame)
{
    TestVideoFolder videos;
    const std::string clip = videos.WriteLong("slow.avi", 600, testcolours::red, testcolours::blue);
    slowfile::StallReads(clip, off_t(std::filesystem::file_size(clip) / 2), 1000ms);
    std::vector<Clock::time_point> ticks;
    bool stalled = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        ticks.push_back(Clock::now());
        stalled = stalled || slowfile::Stalling();
    });
    ticker.start(20);

    const auto start = Clock::now();
    PlayVideo(clip);

    ticks.push_back(Clock::now());
    auto longestGap = 0ms;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        longestGap = std::max(longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(ticks[i] - ticks[i - 1]));
    RecordProperty("longest_timer_gap_ms", int(longestGap.count()));
    EXPECT_TRUE(stalled) << "the read never stalled";
    EXPECT_GE(Clock::now() - start, 1000ms) << "the stall was cut short";
    // Frozen windows would leave a gap of the whole stall; a busy machine delays a timer by tens
    // of milliseconds at times, never by half a second.
    EXPECT_LE(longestGap, 500ms) << "a 20 ms timer went " << longestGap.count() << " ms without firing";
    const auto shown = videowindow::ShownColour();
    ASSERT_TRUE(shown);
    EXPECT_TRUE(IsNear(*shown, testcolours::blue)) << "playback did not reach the last frame";
}

}  // namespace
