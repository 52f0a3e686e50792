#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/TestVideo.h"
#include "support/ProcessRecords.h"
#include "support/VideoWindow.h"
#include "support/slow_file/SlowFile.h"

#include <QColor>
#include <QTimer>

#include <gtest/gtest.h>

#include <opencv2/highgui.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include <malloc.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::function<int()> Entries(const char* folder)
{
    return [folder] {
        int count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
            ++count;
        return count;
    };
}

// Reader processes, running or ended and not yet reaped.
int Readers()
{
    return int(processrecords::Tree(getpid()).size()) - 1;
}

// The count once readers that were left behind have ended. Readers end in their own processes,
// after their command has returned, so this waits for the count to fall to atMost, or without
// a bound given, to stay the same for a tenth of a second; five seconds at the most.
int OnceSettled(const std::function<int()>& count, std::optional<int> atMost = std::nullopt)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int counted = count();
    for (int same = 0; std::chrono::steady_clock::now() < deadline && (atMost ? counted > *atMost : same < 10);) {
        std::this_thread::sleep_for(10ms);
        const int now = count();
        same = now == counted ? same + 1 : 0;
        counted = now;
    }
    return counted;
}

// After many commands the process holds no more files, threads or reader processes (none of
// them a zombie) than after the first few: every reader has ended and been reaped, and its
// frames' memory is let go.
void ExpectNoneLeftBehind(const std::function<void(int rounds)>& commands)
{
    commands(3);
    const int files = OnceSettled(Entries("/proc/self/fd"));
    const int threads = OnceSettled(Entries("/proc/self/task"));
    const int readers = OnceSettled(Readers);
    commands(40);

    testing::Test::RecordProperty("files_after_few_commands", files);
    testing::Test::RecordProperty("threads_after_few_commands", threads);
    testing::Test::RecordProperty("readers_after_few_commands", readers);
    EXPECT_LE(OnceSettled(Entries("/proc/self/fd"), files), files);
    EXPECT_LE(OnceSettled(Entries("/proc/self/task"), threads), threads);
    EXPECT_LE(OnceSettled(Readers, readers), readers);
}

TEST(Resources, ManyCommandsLeaveNoFilesOrThreadsBehind)
{
    TestVideoFolder videos;
    const std::string clip = videos.Write("clip.avi", {testcolours::red, testcolours::blue});
    const std::string missing = videos.PathOf("missing.avi");
    const std::string empty = videos.WriteEmpty("empty.avi");
    ExpectNoneLeftBehind([&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            PlayVideo(clip);
            PlayVideo(missing);
            PlayVideo(empty);
            PlayVideo(std::string("9"));  // a camera that isn't there
            PlayVideo(std::nullopt);      // the last name again
        }
    });
}

// Each command is replaced by another while its reader waits on a stalled read: the reader
// left behind is stopped, and takes its files, threads and process with it.
TEST(Resources, ReadersLeftInStalledReadsLeaveNoFilesOrThreadsBehind)
{
    TestVideoFolder videos;
    const std::string slow = videos.WriteLong("slow.avi", 600, testcolours::red, testcolours::blue);
    const std::string quick = videos.Write("quick.avi", {testcolours::red, testcolours::green});
    slowfile::StallReads(slow, off_t(std::filesystem::file_size(slow) / 2), 200ms);
    int replaced = 0;
    bool stalling = false;
    QTimer replaceStalled;
    QObject::connect(&replaceStalled, &QTimer::timeout, &replaceStalled, [&] {
        const bool now = slowfile::Stalling();
        if (now && !stalling) {
            ++replaced;
            PlayVideo(quick);
        }
        stalling = now;
    });
    replaceStalled.start(5);

    ExpectNoneLeftBehind([&](int rounds) {
        for (int i = 0; i < rounds / 4 + 1; ++i)
            PlayVideo(slow);
    });
    EXPECT_GE(replaced, 12);
}

// Once a command has ended, nothing of its frames is held: not the reader's buffers, not the
// decoder's, not the last frame. (The window keeps a copy of the picture it shows, even hidden:
// it is destroyed first.)
TEST(Resources, NoFrameIsHeldOnceACommandHasEnded)
{
    TestVideoFolder videos;
    const auto heapAfter = [](const std::string& clip) {
        PlayVideo(clip);
        cv::destroyAllWindows();
        videowindow::DeletePendingWindows();
        const struct mallinfo2 heap = mallinfo2();
        return double(heap.uordblks + heap.hblkhd);
    };
    // What the libraries allocate once.
    const double before = heapAfter(videos.Write("small.avi", {testcolours::red, testcolours::blue}));

    const double after = heapAfter(videos.Write("large.avi", {testcolours::red, testcolours::blue}, 1920, 1080));

    constexpr double frameBytes = 1920 * 1080 * 3;
    RecordProperty("heap_growth_bytes", int(after - before));
    EXPECT_LT(after - before, frameBytes / 2);
}

}  // namespace
