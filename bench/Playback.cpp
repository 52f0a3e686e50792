#include "Playback.h"

#include "Measures.h"

#include "playback/PlayVideo.h"
#include "playback/DecoderTap.h"
#include "shell/PlaybackModule.h"

#include <QCoreApplication>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

#include <functional>
#include <map>

#include <dlfcn.h>

namespace {

// Reads the file to its end, handing each frame to perFrame; returns frames per second.
double ReadLoopFps(const std::string& path, const std::function<void(const cv::Mat&)>& perFrame)
{
    const auto start = Clock::now();
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    int frames = 0;
    while (capture.read(frame)) {
        perFrame(frame);
        ++frames;
    }
    return frames * 1000.0 / MsSince(start);
}

int FrameCount(const std::string& path)
{
    static std::map<std::string, int> counts;
    if (!counts.count(path)) {
        int frames = 0;
        ReadLoopFps(path, [&frames](const cv::Mat&) { ++frames; });
        counts[path] = frames;
    }
    return counts[path];
}

cv::Mat FirstFrame(const std::string& path)
{
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    capture.read(frame);
    return frame;
}

// The median time of one call of pump right after a frame was shown.
double ShowAndPumpMs(const std::string& path, const std::function<void()>& pump)
{
    const cv::Mat frame = FirstFrame(path);
    std::vector<double> pumps;
    for (int i = 0; i < 50; ++i) {
        cv::imshow("video", frame);
        const auto start = Clock::now();
        pump();
        pumps.push_back(MsSince(start));
    }
    return Median(pumps);
}

}  // namespace

double BareReadFps(const std::string& path)
{
    return ReadLoopFps(path, [](const cv::Mat&) {});
}

void ProgramCommand(const std::string& path)
{
    playback_module::PlayVideo(path);
}

Command CommandInRoom(ScreenRoomQuery room)
{
    return [room](const std::string& path) {
        ReelviewUseScreens(room);
        playback_module::PlayVideo(path);
        ReelviewUseScreens(playback_module::RoomOnScreen);
    };
}

Command BeforeCommand(const std::string& modulePath)
{
    // Its own definitions first: otherwise its calls of its own functions would reach this
    // process's build of them.
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    auto* play = module ? reinterpret_cast<decltype(&ReelviewPlayVideo)>(dlsym(module, playVideoEntry)) : nullptr;
    if (!play)
        return {};
    return [play](const std::string& path) { play(path.data(), path.size(), playback_module::PumpEvents); };
}

double PlayVideoFps(const std::string& path, const Command& command)
{
    const int frames = FrameCount(path);
    const auto start = Clock::now();
    command(path);
    return frames * 1000.0 / MsSince(start);
}

double ToldColourReadFps(const std::string& path, int matrix)
{
    TapFile(StreamColour{matrix, false});
    const double fps = BareReadFps(path);
    TapFile(std::nullopt);
    return fps;
}

double CorrectedColourReadFps(const std::string& path)
{
    // RGB as BT.709 would give it from what BT.601 made of the same Y'CbCr: one matrix.
    const auto toYCbCr = [](double kr, double kb) {
        return cv::Matx33d(kr, 1 - kr - kb, kb, -kr / (2 - 2 * kb), -(1 - kr - kb) / (2 - 2 * kb), 0.5, 0.5,
                           -(1 - kr - kb) / (2 - 2 * kr), -kb / (2 - 2 * kr));
    };
    const cv::Matx33d rgb = toYCbCr(0.2126, 0.0722).inv() * toYCbCr(0.299, 0.114);
    cv::Matx33d bgr;  // the same, on blue, green, red
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            bgr(2 - i, 2 - j) = rgb(i, j);
    cv::Mat corrected;
    return ReadLoopFps(path, [&](const cv::Mat& frame) { cv::transform(frame, corrected, bgr); });
}

double ScaledWindowFps(const std::string& path, cv::Size size)
{
    const char* const name = "scaled";
    cv::namedWindow(name, cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_NORMAL);
    cv::resizeWindow(name, size);
    auto lastPump = Clock::now() - std::chrono::seconds(1);
    const double fps = ReadLoopFps(path, [&](const cv::Mat& frame) {
        cv::imshow(name, frame);
        if (Clock::now() - lastPump >= std::chrono::milliseconds(30)) {
            lastPump = Clock::now();
            playback_module::PumpEvents();
        }
    });
    cv::destroyWindow(name);
    playback_module::PumpEvents();
    return fps;
}

double WaitKeyLoopFps(const std::string& path)
{
    return ReadLoopFps(path, [](const cv::Mat& frame) {
        cv::imshow("video", frame);
        cv::waitKey(1);
    });
}

Responsiveness PlaybackResponsiveness(const std::string& path, const Command& command)
{
    PaintCounter paints;
    InputDelays input;
    const auto start = Clock::now();
    command(path);
    const double elapsedMs = MsSince(start);

    Responsiveness result;
    result.eventDelaysMs = input.Stop();
    result.repaintsPerSecond = paints.paints * 1000.0 / elapsedMs;
    result.framesPerSecond = FrameCount(path) * 1000.0 / elapsedMs;
    return result;
}

double FirstFrameMs(const std::string& path, const Command& command)
{
    PaintCounter paints;
    const auto start = Clock::now();
    command(path);
    if (paints.paints == 0)
        return -1;
    return std::chrono::duration<double, std::milli>(paints.firstPaint - start).count();
}

double BareOpenReadMs(const std::string& path)
{
    const auto start = Clock::now();
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    capture.read(frame);
    return MsSince(start);  // before the capture is released
}

double ImshowMs(const std::string& path)
{
    const cv::Mat frame = FirstFrame(path);
    constexpr int shows = 200;
    const auto start = Clock::now();
    for (int i = 0; i < shows; ++i)
        cv::imshow("video", frame);
    const double ms = MsSince(start) / shows;
    QCoreApplication::processEvents();
    return ms;
}

double PumpMs(const std::string& path)
{
    return ShowAndPumpMs(path, playback_module::PumpEvents);
}

double PollKeyMs(const std::string& path)
{
    return ShowAndPumpMs(path, [] { cv::pollKey(); });
}
