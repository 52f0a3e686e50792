#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/TestVideo.h"

#include <QColor>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

int Entries(const char* folder)
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

// After many commands, with sources that open and sources that don't, the process holds no
// more files or threads than after the first few: every capture is released.
TEST(Resources, ManyCommandsLeaveNoFilesOrThreadsBehind)
{
    TestVideoFolder videos;
    const std::string clip = videos.Write("clip.avi", {testcolours::red, testcolours::blue});
    const std::string missing = videos.PathOf("missing.avi");
    const std::string empty = videos.WriteEmpty("empty.avi");
    auto commands = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            PlayVideo(clip);
            PlayVideo(missing);
            PlayVideo(empty);
            PlayVideo(std::string("9"));  // a camera that isn't there
            PlayVideo(std::nullopt);      // the last name again
        }
    };

    commands(3);
    const int files = Entries("/proc/self/fd");
    const int threads = Entries("/proc/self/task");
    commands(40);

    RecordProperty("files_after_15_commands", files);
    RecordProperty("files_after_215_commands", Entries("/proc/self/fd"));
    RecordProperty("threads_after_15_commands", threads);
    RecordProperty("threads_after_215_commands", Entries("/proc/self/task"));
    EXPECT_LE(Entries("/proc/self/fd"), files);
    EXPECT_LE(Entries("/proc/self/task"), threads);
}

}  // namespace
