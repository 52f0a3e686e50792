// Whatever name the open dialog hands over, playback plays what can be played, treats the
// rest as a source that did not open, returns promptly without a message, and the next
// command plays normally.
#include "playback/PlayVideo.h"

#include "support/TestVideo.h"
#include "support/VideoWindow.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const QColor red(255, 0, 0);
const QColor green(0, 255, 0);
const QColor blue(0, 0, 255);

enum class Outcome { Fails, Plays };

struct Hostile {
    const char* what;
    // Makes the input in the folder and returns the name to hand over.
    std::function<std::string(const TestVideoFolder&)> make;
    Outcome outcome;
    QColor lastShown;  // for inputs that play
};

void PrintTo(const Hostile& c, std::ostream* out)
{
    *out << c.what;
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(size_t size)
{
    std::mt19937 generator(12345);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = char(generator() & 0xff);
    return bytes;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool MessageBoxShown()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget) && widget->isVisible())
            return true;
    return QApplication::activeModalWidget() != nullptr;
}

class HostileInput : public testing::TestWithParam<Hostile> {
protected:
    TestVideoFolder videos;
};

TEST_P(HostileInput, PlaysWhatCanBePlayedAndStaysUsable)
{
    const std::string before = videos.Write("before.avi", {red, green});
    PlayVideo(before);
    const std::string name = GetParam().make(videos);

    PlayVideo(name);

    EXPECT_FALSE(MessageBoxShown());
    EXPECT_EQ(videowindow::Count(), 1);
    const auto shown = videowindow::ShownColour();
    ASSERT_TRUE(shown);
    const QColor expected = GetParam().outcome == Outcome::Plays ? GetParam().lastShown : green;
    EXPECT_TRUE(IsNear(*shown, expected)) << "shows " << shown->name().toStdString();

    // Still usable: the next command plays normally.
    PlayVideo(videos.Write("after.avi", {red, blue}));
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), blue));
}

INSTANTIATE_TEST_SUITE_P(
    NotRegularFiles, HostileInput,
    testing::Values(
        Hostile{"folder", [](const TestVideoFolder& f) { return f.PathOf(""); }, Outcome::Fails, {}},
        Hostile{"fifo without writer",
                [](const TestVideoFolder& f) {
                    const std::string path = f.PathOf("pipe.avi");
                    mkfifo(path.c_str(), 0600);
                    return path;
                },
                Outcome::Fails, {}},
        Hostile{"link to a fifo",
                [](const TestVideoFolder& f) {
                    const std::string pipe = f.PathOf("pipe");
                    mkfifo(pipe.c_str(), 0600);
                    fs::create_symlink(pipe, f.PathOf("link.avi"));
                    return f.PathOf("link.avi");
                },
                Outcome::Fails, {}},
        Hostile{"endless device", [](const TestVideoFolder&) { return std::string("/dev/zero"); },
                Outcome::Fails, {}},
        Hostile{"empty device", [](const TestVideoFolder&) { return std::string("/dev/null"); },
                Outcome::Fails, {}}));

INSTANTIATE_TEST_SUITE_P(
    Contents, HostileInput,
    testing::Values(
        Hostile{"empty file",
                [](const TestVideoFolder& f) {
                    WriteBytes(f.PathOf("empty.avi"), "");
                    return f.PathOf("empty.avi");
                },
                Outcome::Fails, {}},
        Hostile{"random bytes",
                [](const TestVideoFolder& f) {
                    WriteBytes(f.PathOf("random.avi"), RandomBytes(256 * 1024));
                    return f.PathOf("random.avi");
                },
                Outcome::Fails, {}},
        Hostile{"text named as a video",
                [](const TestVideoFolder& f) {
                    WriteBytes(f.PathOf("notes.mp4"), "Not a video, just some notes.\n");
                    return f.PathOf("notes.mp4");
                },
                Outcome::Fails, {}},
        Hostile{"video named as text",
                [](const TestVideoFolder& f) {
                    const std::string video = f.Write("clip.avi", {red, blue});
                    fs::rename(video, f.PathOf("clip.txt"));
                    return f.PathOf("clip.txt");
                },
                Outcome::Plays, blue},
        Hostile{"truncated video",
                [](const TestVideoFolder& f) {
                    const std::string video = f.Write("whole.avi", std::vector<QColor>(40, blue));
                    const std::string bytes = ReadBytes(video);
                    WriteBytes(f.PathOf("cut.avi"), bytes.substr(0, bytes.size() / 2));
                    return f.PathOf("cut.avi");
                },
                Outcome::Plays, blue},
        Hostile{"header and garbage",
                [](const TestVideoFolder& f) {
                    const std::string bytes = ReadBytes(f.Write("whole.avi", std::vector<QColor>(10, blue)));
                    WriteBytes(f.PathOf("garbled.avi"), bytes.substr(0, 512) + RandomBytes(64 * 1024));
                    return f.PathOf("garbled.avi");
                },
                Outcome::Fails, {}},
        Hostile{"still image",
                [](const TestVideoFolder& f) {
                    QImage image(32, 24, QImage::Format_RGB32);
                    image.fill(blue);
                    image.save(QString::fromStdString(f.PathOf("still.png")));
                    return f.PathOf("still.png");
                },
                Outcome::Plays, blue}));

INSTANTIATE_TEST_SUITE_P(
    Paths, HostileInput,
    testing::Values(
        Hostile{"spaces and Chinese",
                [](const TestVideoFolder& f) { return f.Write("我的 影片 (1).avi", {red, blue}); },
                Outcome::Plays, blue},
        Hostile{"bytes that are not UTF-8",
                [](const TestVideoFolder& f) { return f.Write("clip-\xff\xfe.avi", {red, blue}); },
                Outcome::Plays, blue},
        Hostile{"percent signs and a colon",
                [](const TestVideoFolder& f) { return f.Write("100%d:%s.avi", {red, blue}); },
                Outcome::Plays, blue},
        Hostile{"longer than a path may be",
                [](const TestVideoFolder& f) {
                    std::string path = f.PathOf("");
                    while (path.size() < 5000)
                        path += std::string(200, 'x') + "/";
                    return path + "clip.avi";
                },
                Outcome::Fails, {}},
        Hostile{"file gone since it was chosen",
                [](const TestVideoFolder& f) {
                    const std::string video = f.Write("gone.avi", {red, blue});
                    fs::remove(video);
                    return video;
                },
                Outcome::Fails, {}},
        Hostile{"link to nowhere",
                [](const TestVideoFolder& f) {
                    fs::create_symlink(f.PathOf("nowhere.avi"), f.PathOf("dangling.avi"));
                    return f.PathOf("dangling.avi");
                },
                Outcome::Fails, {}},
        Hostile{"unreadable file",
                [](const TestVideoFolder& f) {
                    const std::string video = f.Write("locked.avi", {red, blue});
                    fs::permissions(video, fs::perms::none);
                    return video;
                },
                // root reads it anyway; anyone else gets a failed open
                geteuid() == 0 ? Outcome::Plays : Outcome::Fails, blue}));

}  // namespace
