#include "Measures.h"

#include "support/ProcessRecords.h"

#include <QApplication>
#include <QGraphicsView>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

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

namespace {

// The widget that paints the picture of the window "video"; null while there is none.
QWidget* VideoViewport()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->windowTitle() == QLatin1String("video"))
            if (auto* view = window->findChild<QGraphicsView*>())
                return view->viewport();
    return nullptr;
}

}  // namespace

PaintCounter::PaintCounter()
{
    QCoreApplication::instance()->installEventFilter(this);
}

PaintCounter::~PaintCounter()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

bool PaintCounter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint && watched == VideoViewport() && paints++ == 0)
        firstPaint = Clock::now();
    return false;
}

namespace {

struct Stamped : QEvent {
    explicit Stamped(Clock::time_point at)
        : QEvent(Kind())
        , postedAt(at)
    {
    }
    static Type Kind()
    {
        static const Type registered = Type(QEvent::registerEventType());
        return registered;
    }
    Clock::time_point postedAt;
};

}  // namespace

struct InputDelays::State {
    std::atomic<bool> posting{true};
    std::vector<double> delaysMs;
    std::thread poster;
};

InputDelays::InputDelays()
    : state_(std::make_unique<State>())
{
    state_->poster = std::thread([this] {
        while (state_->posting) {
            QCoreApplication::postEvent(this, new Stamped(Clock::now()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

InputDelays::~InputDelays()
{
    Stop();
}

std::vector<double> InputDelays::Stop()
{
    if (state_->poster.joinable()) {
        state_->posting = false;
        state_->poster.join();
        QCoreApplication::sendPostedEvents(this);
    }
    return state_->delaysMs;
}

bool InputDelays::event(QEvent* event)
{
    if (event->type() != Stamped::Kind())
        return QObject::event(event);
    state_->delaysMs.push_back(MsSince(static_cast<Stamped*>(event)->postedAt));
    return true;
}

namespace {

// A process's memory of a kind, in MiB: a line of /proc/PID/status (VmHWM), or of smaps_rollup
// (Pss: its share of the pages it shares, which the starter and its readers do).
double MemoryMiB(pid_t process, const char* file, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(process) + "/" + file);
    const std::string prefix = std::string(field) + ':';
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            std::istringstream fields(line.substr(prefix.size()));
            double kib = 0;
            fields >> kib;
            return kib / 1024.0;
        }
    }
    return 0;
}

}  // namespace

double ResidentMiB()
{
    double resident = 0;
    for (const pid_t process : processrecords::Tree(getpid()))
        resident += MemoryMiB(process, "smaps_rollup", "Pss");
    return resident;
}

PeakMemory::PeakMemory()
    : peak_(ResidentMiB())
{
    QObject::connect(&sampling_, &QTimer::timeout, [this] { peak_ = std::max(peak_, ResidentMiB()); });
    sampling_.start(5);
}

double PeakMemory::MiB() const
{
    return std::max(peak_, ResidentMiB());
}
