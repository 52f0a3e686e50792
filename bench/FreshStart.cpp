// A new program process, started as the real one is, for what only a fresh process shows.
// Prints its figures as "name value" lines for reelview_bench.
//   fresh_start first-second FILE   input during the first second after the main window
//                                   appears (while playback loads), then FILE is opened:
//                                   input_p99_ms, input_max_ms, first_frame_ms
//   fresh_start at-once FILE        FILE is opened the moment the window appears:
//                                   first_frame_ms
//   fresh_start memory SMALL LARGE  resident memory after SMALL has played, at the peak while
//                                   LARGE plays, and after: before_mib, peak_mib, after_mib
//   fresh_start play FILE FRAMES    FILE, of FRAMES frames, played to its end after a warm-up
//                                   command on it: frames_per_second. Copied beside another
//                                   build's module, it measures that module.
#include "Measures.h"

#include "forms/TApplication.h"
#include "shell/PlaybackModule.h"
#include "shell/Unit1.h"

#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <string>

namespace {

void Print(const char* name, double value)
{
    std::printf("%s %.2f\n", name, value);
}

double PlayAndTimeFirstFrame(const std::string& path)
{
    PaintCounter paints;
    const auto start = Clock::now();
    playback_module::PlayVideo(path);
    return paints.paints ? std::chrono::duration<double, std::milli>(paints.firstPaint - start).count() : -1;
}

// Calls then() once the main window is exposed, on the GUI thread.
void WhenMainWindowAppears(std::function<void()> then)
{
    auto* poll = new QTimer(Form1);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, then] {
        if (!Form1->windowHandle() || !Form1->windowHandle()->isExposed())
            return;
        poll->stop();
        then();
    });
    poll->start(1);
}

void FirstSecond(const std::string& path)
{
    WhenMainWindowAppears([path] {
        auto input = std::make_shared<InputDelays>();
        QTimer::singleShot(1000, Form1, [input, path] {
            const std::vector<double> delays = input->Stop();
            Print("input_p99_ms", Percentile(delays, 0.99));
            Print("input_max_ms", Percentile(delays, 1.0));
            Print("first_frame_ms", PlayAndTimeFirstFrame(path));
            QCoreApplication::quit();
        });
    });
}

void AtOnce(const std::string& path)
{
    WhenMainWindowAppears([path] {
        Print("first_frame_ms", PlayAndTimeFirstFrame(path));
        QCoreApplication::quit();
    });
}

void Play(const std::string& path, int frames)
{
    playback_module::PlayVideo(path);
    const auto start = Clock::now();
    playback_module::PlayVideo(path);
    Print("frames_per_second", frames * 1000.0 / MsSince(start));
}

void Memory(const std::string& small, const std::string& large)
{
    playback_module::PlayVideo(small);
    Print("before_mib", ResidentMiB());
    const PeakMemory peak;
    playback_module::PlayVideo(large);
    Print("peak_mib", peak.MiB());
    Print("after_mib", ResidentMiB());
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    if (!(argc == 3 && (mode == "first-second" || mode == "at-once"))
        && !(argc == 4 && (mode == "memory" || mode == "play"))) {
        std::fprintf(stderr, "usage: fresh_start first-second|at-once FILE | memory SMALL LARGE | play FILE FRAMES\n");
        return 2;
    }
    Q_INIT_RESOURCE(resources);
    forms::TApplication application("reelview");
    forms::Application->Initialize();
    if (mode == "memory") {
        Memory(argv[2], argv[3]);
        return 0;
    }
    if (mode == "play") {
        Play(argv[2], std::stoi(argv[3]));
        return 0;
    }
    forms::Application->CreateForm(Form1);
    playback_module::StartLoadingOnceShown(*Form1);  // as the program does
    if (mode == "first-second")
        FirstSecond(argv[2]);
    else
        AtOnce(argv[2]);
    forms::Application->Run();
    return 0;
}
