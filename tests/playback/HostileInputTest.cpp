// Whatever name the open dialog hands over, playback plays what can be played, treats the
// rest as a source that did not open, returns promptly without a message, and the next
// command plays normally.
#include "playback/PlayVideo.h"
#include "playback/SourceOpening.h"

#include "support/Colours.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/streams/TestStreams.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using namespace testcolours;

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
                Outcome::Plays, blue},
        Hostile{"nothing but damage",
                [](const TestVideoFolder& f) {
                    Encoding encoding;
                    encoding.encoder = "mpeg4";
                    encoding.width = 64, encoding.height = 48;
                    const std::string path = f.PathOf("damage.avi");
                    // A sound container around packets that are all noise.
                    WriteVideo(path, encoding, 30, [](int, int, int) { return YCbCr{128, 128, 128}; },
                               [](AVPacket& packet, int index) {
                                   std::mt19937 noise(index);
                                   if (av_packet_make_writable(&packet) >= 0)
                                       std::generate_n(packet.data, packet.size, [&] { return uint8_t(noise()); });
                                   return true;
                               });
                    return path;
                },
                Outcome::Fails, {}}));

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

// A file can name other files: a playlist its segments, a concatenation list its parts, a
// session description its network streams. Whatever it names, the player never waits on a
// FIFO or a device, never reaches the network, and treats the file as a source that did not
// open.

// Opens the FIFO for writing after ten seconds, which ends any open that waits on it: a test
// that would otherwise block for good fails instead.
class FifoRescue {
public:
    explicit FifoRescue(std::string path)
        : path_(std::move(path))
        , thread_([this] { Run(); })
    {
    }
    ~FifoRescue()
    {
        done_ = true;
        thread_.join();
    }

    bool Rescued() const { return rescued_; }

private:
    void Run()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (std::chrono::steady_clock::now() < deadline)
                continue;
            // Succeeds only while a reader has the FIFO open, waiting for a writer.
            const int writer = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                rescued_ = true;
                ::close(writer);
            }
        }
    }

    std::string path_;
    std::atomic<bool> done_{false};
    std::atomic<bool> rescued_{false};
    std::thread thread_;
};

// A TCP port on the loopback address that notes whether anything connected to it.
class Listener {
public:
    Listener()
        : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0
            || ::listen(socket_, 8) != 0
            || ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("can't listen on the loopback address");
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(socket_); }

    std::string Url(const char* scheme) const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/clip.ts";
    }
    bool Contacted() const
    {
        const int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return false;
        ::close(connection);
        return true;
    }

private:
    int socket_;
    int port_ = 0;
};

enum class Target { Fifo, DeviceLink, MissingFile, NetworkAddress };

struct Referencing {
    const char* what;
    std::function<std::string(const std::string& target)> text;  // the file, naming target
    Target target;
};

void PrintTo(const Referencing& c, std::ostream* out)
{
    *out << c.what;
}

std::string HlsPlaylist(const std::string& segment)
{
    return "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n" + segment
        + "\n#EXT-X-ENDLIST\n";
}

std::string ConcatList(const std::string& part)
{
    return "ffconcat version 1.0\nfile '" + part + "'\n";
}

std::string DashManifest(const std::string& segment)
{
    return "<?xml version=\"1.0\"?>\n"
           "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
           "mediaPresentationDuration=\"PT10S\" minBufferTime=\"PT1S\" "
           "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\">\n"
           "<Period><AdaptationSet mimeType=\"video/mp4\"><Representation id=\"1\" "
           "bandwidth=\"100000\" width=\"64\" height=\"48\" codecs=\"avc1.42c00a\">"
           "<BaseURL>" + segment + "</BaseURL></Representation></AdaptationSet></Period></MPD>\n";
}

class ReferencingFile : public testing::TestWithParam<Referencing> {
protected:
    TestVideoFolder videos;
    Listener listener;
};

TEST_P(ReferencingFile, FailsAtOnceAndTheNextCommandPlays)
{
    PlayVideo(videos.Write("before.avi", {red, green}));
    std::string target;
    switch (GetParam().target) {
    case Target::Fifo:
        target = videos.PathOf("segment.ts");
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        break;
    case Target::DeviceLink:
        target = videos.PathOf("device.ts");
        fs::create_symlink("/dev/zero", target);
        break;
    case Target::MissingFile:
        target = videos.PathOf("missing.ts");
        break;
    case Target::NetworkAddress:
        target = listener.Url("http");
        break;
    }
    const std::string name = videos.PathOf("list");
    WriteBytes(name, GetParam().text(target));
    FifoRescue rescue(target);

    PlayVideo(name);

    EXPECT_FALSE(rescue.Rescued()) << "the open waited on the FIFO";
    EXPECT_FALSE(listener.Contacted()) << "the open reached the network";
    EXPECT_FALSE(MessageBoxShown());
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), green)) << "a frame of the list was shown";

    PlayVideo(videos.Write("after.avi", {red, blue}));
    ASSERT_TRUE(videowindow::ShownColour());
    EXPECT_TRUE(IsNear(*videowindow::ShownColour(), blue));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ReferencingFile,
    testing::Values(Referencing{"playlist naming a fifo", HlsPlaylist, Target::Fifo},
                    Referencing{"playlist naming a device", HlsPlaylist, Target::DeviceLink},
                    Referencing{"playlist naming a missing file", HlsPlaylist, Target::MissingFile},
                    Referencing{"playlist naming a network address", HlsPlaylist,
                                Target::NetworkAddress},
                    Referencing{"concat list naming a fifo", ConcatList, Target::Fifo},
                    Referencing{"concat list naming a device", ConcatList, Target::DeviceLink},
                    Referencing{"concat list naming a missing file", ConcatList,
                                Target::MissingFile},
                    Referencing{"concat list naming a network address", ConcatList,
                                Target::NetworkAddress},
                    Referencing{"manifest naming a fifo", DashManifest, Target::Fifo},
                    Referencing{"manifest naming a network address", DashManifest,
                                Target::NetworkAddress}));

// The path is checked and then handed to the decoder. Whatever the path names by then, the
// decoder reads the file that was checked.
TEST(HeldFile, TheDecoderReadsTheFileThatWasChecked)
{
    TestVideoFolder videos;
    const std::string path = videos.Write("clip.avi", {red, blue});
    const auto held = HeldFile::Open(path);
    ASSERT_TRUE(held);

    // The swap, between the check and the open: the path now names a FIFO.
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    FifoRescue rescue(path);
    cv::VideoCapture capture(held->DecoderPath(), cv::CAP_FFMPEG);

    EXPECT_FALSE(rescue.Rescued()) << "the decoder opened the FIFO";
    ASSERT_TRUE(capture.isOpened());
    cv::Mat frame, last;
    int frames = 0;
    while (capture.read(frame)) {
        last = frame.clone();
        ++frames;
    }
    EXPECT_EQ(frames, 2);
    ASSERT_FALSE(last.empty());
    const cv::Vec3b centre = last.at<cv::Vec3b>(last.rows / 2, last.cols / 2);
    EXPECT_TRUE(IsNear(QColor(centre[2], centre[1], centre[0]), blue));
}

TEST(HeldFile, HoldsOnlyRegularFilesWithContent)
{
    TestVideoFolder videos;
    const std::string pipe = videos.PathOf("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    WriteBytes(videos.PathOf("empty"), "");
    fs::create_symlink(videos.Write("clip.avi", {red}), videos.PathOf("link"));

    EXPECT_FALSE(HeldFile::Open(pipe));
    EXPECT_FALSE(HeldFile::Open(videos.PathOf("empty")));
    EXPECT_FALSE(HeldFile::Open("/dev/zero"));
    EXPECT_FALSE(HeldFile::Open(videos.PathOf("")));
    EXPECT_FALSE(HeldFile::Open("/proc/self/status"));  // reports no size, like files that block
    EXPECT_TRUE(HeldFile::Open(videos.PathOf("link")));
}

// What refusing formats must not cost: the common containers and codecs still play.
struct Container {
    const char* fileName;
    const char* fourcc;
};

void PrintTo(const Container& c, std::ostream* out)
{
    *out << c.fileName;
}

class CommonContainer : public testing::TestWithParam<Container> {};

TEST_P(CommonContainer, Plays)
{
    TestVideoFolder videos;
    const std::string path = videos.PathOf(GetParam().fileName);
    const char* code = GetParam().fourcc;
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc(code[0], code[1], code[2], code[3]),
                           25, cv::Size(64, 48));
    ASSERT_TRUE(writer.isOpened()) << "no encoder for " << code;
    for (const QColor& colour : {red, red, red, blue, blue, blue})
        writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(colour.blue(), colour.green(), colour.red())));
    writer.release();

    PlayVideo(path);

    const auto shown = videowindow::ShownColour();
    ASSERT_TRUE(shown) << "nothing shown";
    EXPECT_TRUE(IsNear(*shown, blue)) << "shows " << shown->name().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CommonContainer,
    testing::Values(Container{"clip.mp4", "mp4v"}, Container{"clip.mov", "avc1"},
                    Container{"clip.mkv", "MJPG"}, Container{"clip.webm", "VP80"},
                    Container{"clip.avi", "XVID"}, Container{"clip.mpg", "PIM1"},
                    Container{"clip.ts", "mp4v"}, Container{"clip.flv", "FLV1"},
                    Container{"clip.ogv", "THEO"}, Container{"clip.wmv", "WMV2"}));

}  // namespace
