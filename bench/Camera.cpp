#include "Camera.h"

#include "Measures.h"

#include "playback/CameraModes.h"
#include "support/ProcessRecords.h"
#include "support/fake_camera/FakeCamera.h"

#include <QApplication>
#include <QGraphicsView>
#include <QTimer>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

// The CPU time of this process and of the readers it started, as far as they are still there.
double CpuMs()
{
    double ticks = 0;
    for (const pid_t process : processrecords::Tree(getpid())) {
        std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
        std::string line;
        std::getline(stat, line);
        // After "PID (NAME)": the state, then fields 4 to 13, then user and system time.
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string field;
        for (int i = 3; i <= 13 && fields >> field; ++i) {
        }
        double user = 0, system = 0;
        if (fields >> user >> system)
            ticks += user + system;
    }
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

QWidget* VideoWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->windowTitle() == QLatin1String("video"))
            return window;
    return nullptr;
}

QWidget* VideoViewport()
{
    QWidget* window = VideoWindow();
    auto* view = window ? window->findChild<QGraphicsView*>() : nullptr;
    return view ? view->viewport() : nullptr;
}

void UseModes(const std::string& modes, bool numbered)
{
    setenv("FAKE_CAMERA_MODES", modes.c_str(), 1);
    setenv("FAKE_CAMERA_NUMBERED", numbered ? "1" : "0", 1);
}

// Plays the camera; once its first frame has been painted, calls started with the time of that
// paint, and ends playback the seconds given later, calling ended first.
void PlayFor(double seconds, const Command& command, const std::function<void(Clock::time_point)>& started,
             const std::function<void()>& ended)
{
    PaintCounter paints;
    bool running = false;
    Clock::time_point startedAt;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!running && paints.paints > 0) {
            running = true;
            startedAt = Clock::now();
            started(paints.firstPaint);
        } else if (running && MsSince(startedAt) >= seconds * 1000) {
            watch.stop();
            ended();
            if (QWidget* window = VideoWindow())
                window->close();
        }
    });
    watch.start(10);
    command("0");  // a one-digit name: that camera
}

// Watches a point of a window on the X server from a thread and connection of its own, and
// notes when it changes to another buffer's number, and which.
class NumberWatcher {
public:
    struct Seen {
        Clock::time_point at;
        unsigned buffer;
    };

    NumberWatcher(unsigned long window, int x, int y)
        : thread_([this, window, x, y] { Watch(window, x, y); })
    {
    }
    ~NumberWatcher() { Stop(); }

    std::vector<Seen> Stop()
    {
        watching_ = false;
        if (thread_.joinable())
            thread_.join();
        return seen_;
    }

private:
    void Watch(unsigned long window, int x, int y)
    {
        Display* display = XOpenDisplay(nullptr);
        if (!display)
            return;
        int last = -1;
        while (watching_) {
            if (XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap)) {
                const int green = int((XGetPixel(image, 0, 0) >> 8) & 0xff);
                XDestroyImage(image);
                const int buffer = int(std::lround((green - fakecamera::NumberedLevel(0)) / 24.0));
                if (buffer >= 0 && buffer < 8 && std::abs(green - fakecamera::NumberedLevel(unsigned(buffer))) <= 8
                    && buffer != last) {
                    seen_.push_back({Clock::now(), unsigned(buffer)});
                    last = buffer;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        XCloseDisplay(display);
    }

    std::atomic<bool> watching_{true};
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace

CameraRun PlayCamera(const std::string& modes, double seconds, const Command& command)
{
    UseModes(modes, false);
    CameraRun run;
    unsigned long taken = 0;
    double cpu = 0;
    Clock::time_point from;
    const auto start = Clock::now();
    PlayFor(
        seconds, command,
        [&](Clock::time_point firstPaint) {
            run.firstFrameMs = std::chrono::duration<double, std::milli>(firstPaint - start).count();
            taken = fakecamera::FramesTaken();
            cpu = CpuMs();
            from = Clock::now();
        },
        [&] {
            const double ms = MsSince(from);
            run.framesPerSecond = (fakecamera::FramesTaken() - taken) * 1000.0 / ms;
            run.cpuPercent = 100 * (CpuMs() - cpu) / ms;
        });
    return run;
}

std::vector<double> CameraLatenciesMs(const std::string& modes, double seconds)
{
    UseModes(modes, true);
    std::unique_ptr<NumberWatcher> watcher;
    std::vector<NumberWatcher::Seen> seen;
    std::vector<fakecamera::HandOver> handOvers;  // read while the camera's reader is there
    PlayFor(
        seconds, ProgramCommand,
        [&](Clock::time_point) {
            QWidget* viewport = VideoViewport();
            if (!viewport)
                return;
            // The middle of the number's block, in the bottom eighth of the picture.
            const QPoint at = viewport->mapTo(viewport->window(),
                                              QPoint(viewport->width() / 2, viewport->height() - viewport->height() / 16));
            watcher = std::make_unique<NumberWatcher>(viewport->window()->winId(), at.x(), at.y());
        },
        [&] {
            if (watcher)
                seen = watcher->Stop();
            handOvers = fakecamera::HandOvers();
        });
    // Each picture seen is the one its buffer was last handed over with.
    std::vector<double> latencies;
    for (const NumberWatcher::Seen& picture : seen)
        for (auto handOver = handOvers.rbegin(); handOver != handOvers.rend(); ++handOver)
            if (handOver->buffer == picture.buffer && handOver->at <= picture.at) {
                latencies.push_back(std::chrono::duration<double, std::milli>(picture.at - handOver->at).count());
                break;
            }
    return latencies;
}

double BareCameraOpenReadMs(const std::string& modes)
{
    UseModes(modes, false);
    const auto start = Clock::now();
    cv::VideoCapture camera(0, cv::CAP_V4L2);
    cv::Mat frame;
    camera.read(frame);
    return MsSince(start);
}

double BareCameraOpenReadMs(const std::string& modes, const char* fourcc, int width, int height)
{
    UseModes(modes, false);
    const auto start = Clock::now();
    cv::VideoCapture camera(0, cv::CAP_V4L2);
    camera.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]));
    camera.set(cv::CAP_PROP_FRAME_WIDTH, width);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, height);
    cv::Mat frame;
    camera.read(frame);
    return MsSince(start);
}

double ChooseModeMs(const std::string& modes)
{
    UseModes(modes, false);
    const auto start = Clock::now();
    ChooseCameraMode(ListCameraModes(0), {1920, 1200});
    return MsSince(start);
}
