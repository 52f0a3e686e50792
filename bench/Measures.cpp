#include "Measures.h"

#include "playback/PlayVideo.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QGraphicsView>
#include <QProcess>
#include <QWidget>

#include <X11/Xlib.h>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int CountFrames(const std::string& path)
{
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    int frames = 0;
    while (capture.read(frame))
        ++frames;
    return frames;
}

// The widget that paints the picture of the window "video".
QWidget* VideoViewport()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->windowTitle() == QLatin1String("video"))
            if (auto* view = window->findChild<QGraphicsView*>())
                return view->viewport();
    return nullptr;
}

class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* target)
        : target_(target)
    {
        if (target_)
            target_->installEventFilter(this);
    }
    ~PaintCounter() override
    {
        if (target_)
            target_->removeEventFilter(this);
    }

    int paints = 0;
    Clock::time_point firstPaint{};

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && paints++ == 0)
            firstPaint = Clock::now();
        return false;
    }

private:
    QWidget* target_;
};

// Receives events posted from another thread and notes how long each waited.
class DelayRecorder : public QObject {
public:
    struct Stamped : QEvent {
        explicit Stamped(Clock::time_point at)
            : QEvent(type())
            , postedAt(at)
        {
        }
        static Type type()
        {
            static const Type registered = Type(QEvent::registerEventType());
            return registered;
        }
        Clock::time_point postedAt;
    };

    std::vector<double> delaysMs;

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != Stamped::type())
            return QObject::event(event);
        delaysMs.push_back(MsSince(static_cast<Stamped*>(event)->postedAt));
        return true;
    }
};

}  // namespace

double Median(std::vector<double> values)
{
    return Percentile(std::move(values), 0.5);
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    return values[index];
}

double BareReadFps(const std::string& path)
{
    const auto start = Clock::now();
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    int frames = 0;
    while (capture.read(frame))
        ++frames;
    return frames * 1000.0 / MsSince(start);
}

double PlayVideoFps(const std::string& path)
{
    static std::map<std::string, int> frameCounts;
    if (!frameCounts.count(path))
        frameCounts[path] = CountFrames(path);
    const auto start = Clock::now();
    PlayVideo(path);
    return frameCounts[path] * 1000.0 / MsSince(start);
}

double WaitKeyLoopFps(const std::string& path)
{
    const auto start = Clock::now();
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    int frames = 0;
    while (capture.read(frame)) {
        cv::imshow("video", frame);
        cv::waitKey(1);
        ++frames;
    }
    return frames * 1000.0 / MsSince(start);
}

PlaybackResponsiveness MeasureResponsiveness(const std::string& path)
{
    DelayRecorder recorder;
    PaintCounter paints(VideoViewport());
    std::atomic<bool> playing{true};
    std::thread input([&] {
        while (playing) {
            QCoreApplication::postEvent(&recorder, new DelayRecorder::Stamped(Clock::now()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto start = Clock::now();
    PlayVideo(path);
    const double elapsedMs = MsSince(start);
    playing = false;
    input.join();
    QCoreApplication::sendPostedEvents(&recorder);

    PlaybackResponsiveness result;
    result.eventDelaysMs = std::move(recorder.delaysMs);
    result.repaintsPerSecond = paints.paints * 1000.0 / elapsedMs;
    result.framesPerSecond = CountFrames(path) * 1000.0 / elapsedMs;
    return result;
}

double FirstFrameMs(const std::string& path)
{
    PaintCounter paints(VideoViewport());
    const auto start = Clock::now();
    PlayVideo(path);
    if (paints.paints == 0)
        return -1;
    return std::chrono::duration<double, std::milli>(paints.firstPaint - start).count();
}

double StartUpMs(const std::string& program)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return -1;
    const Window root = DefaultRootWindow(display);
    auto mainWindowShown = [&] {
        Window rootReturn, parent;
        Window* children = nullptr;
        unsigned count = 0;
        bool shown = false;
        if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count))
            return false;
        for (unsigned i = 0; i < count && !shown; ++i) {
            char* name = nullptr;
            XWindowAttributes attributes;
            if (XFetchName(display, children[i], &name) && name) {
                shown = std::string(name) == "Form1"
                    && XGetWindowAttributes(display, children[i], &attributes)
                    && attributes.map_state == IsViewable;
                XFree(name);
            }
        }
        if (children)
            XFree(children);
        return shown;
    };

    QProcess process;
    const auto start = Clock::now();
    process.start(QString::fromStdString(program), QStringList());
    double shownMs = -1;
    while (MsSince(start) < 10000) {
        if (mainWindowShown()) {
            shownMs = MsSince(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    process.kill();
    process.waitForFinished();
    XCloseDisplay(display);
    return shownMs;
}

double ResidentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            double kib = 0;
            fields >> kib;
            return kib / 1024.0;
        }
    }
    return 0;
}

namespace {

cv::Mat FirstFrame(const std::string& path)
{
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    capture.read(frame);
    return frame;
}

}  // namespace

double ImshowMs(const std::string& path)
{
    const cv::Mat frame = FirstFrame(path);
    constexpr int shows = 200;
    const auto start = Clock::now();
    for (int i = 0; i < shows; ++i)
        cv::imshow("video", frame);
    const double ms = MsSince(start) / shows;
    cv::pollKey();
    return ms;
}

double PumpMs(const std::string& path)
{
    const cv::Mat frame = FirstFrame(path);
    std::vector<double> pumps;
    for (int i = 0; i < 50; ++i) {
        cv::imshow("video", frame);
        const auto start = Clock::now();
        cv::pollKey();
        pumps.push_back(MsSince(start));
    }
    return Median(pumps);
}
