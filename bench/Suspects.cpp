// One program process that has played before, with each suspect of a slow command start
// switched on or off from outside the program's code, for reelview_bench to compare side by
// side. Prints "name value" lines.
//   suspects MODULE WARM_UP_FILE... -- FILE [SWITCH...]
// Switches: no-arena-limit, no-trim, trim-beyond-64mib (the trim as it was: after every
// command that left more than 64 MiB free), pollkey-pump, load-here, no-rounds,
// large=FILE (resident memory before and after playing FILE).
// The program's calls of glibc's mallopt and malloc_trim reach the definitions below first
// (this executable exports them), so "no-arena-limit" and "no-trim" take them out. The pump
// and the loading thread belong to the shell, so this program loads and pumps as it does.
#include "Measures.h"
#include "Playback.h"

#include "playback/PlayVideo.h"
#include "shell/PlaybackModule.h"

#include <QApplication>

#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <malloc.h>

namespace {

std::set<std::string> switchedOff;
bool oldTrim = false;

bool Off(const char* suspect)
{
    return switchedOff.count(suspect) != 0;
}

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void PollKeyPump()
{
    cv::pollKey();
}

void Print(const char* name, double value)
{
    std::printf("%s %.2f\n", name, value);
}

}  // namespace

extern "C" int mallopt(int parameter, int value)
{
    if (parameter == M_ARENA_MAX && Off("arena-limit"))
        return 1;
    static const auto next = Next<int (*)(int, int)>("mallopt");
    return next(parameter, value);
}

extern "C" int malloc_trim(size_t pad)
{
    if (Off("trim"))
        return 0;
    static const auto next = Next<int (*)(size_t)>("malloc_trim");
    return next(pad);
}

int main(int argc, char** argv)
{
    std::vector<std::string> warmUp;
    int i = 2;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        warmUp.emplace_back(argv[i]);
    if (argc < 3 || i + 1 >= argc) {
        std::fprintf(stderr, "usage: suspects MODULE WARM_UP_FILE... -- FILE [SWITCH...]\n");
        return 2;
    }
    const std::string file = argv[i + 1];
    std::string large;
    for (int s = i + 2; s < argc; ++s) {
        const std::string name = argv[s];
        if (name == "no-arena-limit") switchedOff.insert("arena-limit");
        else if (name == "no-trim") switchedOff.insert("trim");
        else if (name == "pollkey-pump") switchedOff.insert("qt-pump");
        else if (name == "load-here") switchedOff.insert("loading-thread");
        else if (name == "no-rounds") switchedOff.insert("rounds");
        else if (name == "trim-beyond-64mib") oldTrim = true;
        else if (name.rfind("large=", 0) == 0) large = name.substr(6);
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    auto load = [module = std::string(argv[1])] { return dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL); };
    void* module = Off("loading-thread") ? load() : std::async(std::launch::async, load).get();
    auto* play = module ? reinterpret_cast<decltype(&ReelviewPlayVideo)>(dlsym(module, playVideoEntry)) : nullptr;
    if (!play) {
        std::fprintf(stderr, "suspects: can't load %s\n", argv[1]);
        return 1;
    }
    const EventPump pump = Off("qt-pump") ? PollKeyPump : playback_module::PumpEvents;
    auto playVideo = [&](const std::string& path) {
        play(path.data(), path.size(), pump);
        if (oldTrim && mallinfo2().fordblks > std::size_t(64) << 20)
            malloc_trim(0);
    };

    for (const std::string& path : warmUp) {
        playVideo(path);
        cv::VideoCapture capture(path, cv::CAP_FFMPEG);
        for (cv::Mat frame; capture.read(frame);) {
        }
    }

    std::vector<double> bare, first, delayP99, delayMax;
    const int rounds = Off("rounds") ? 0 : 5;
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(BareOpenReadMs(file));
        PaintCounter paints;
        InputDelays input;
        const auto playStart = Clock::now();
        playVideo(file);
        const std::vector<double> delays = input.Stop();
        first.push_back(paints.paints ? std::chrono::duration<double, std::milli>(paints.firstPaint - playStart).count() : -1);
        delayP99.push_back(Percentile(delays, 0.99));
        delayMax.push_back(Percentile(delays, 1.0));
    }
    Print("bare_open_read_ms", Median(bare));
    Print("first_frame_ms", Median(first));
    Print("event_p99_ms", Median(delayP99));
    Print("event_max_ms", Median(delayMax));
    if (!large.empty()) {
        const double before = ResidentMiB();
        playVideo(large);
        Print("large_before_mib", before);
        Print("large_after_mib", ResidentMiB());
    }
    return 0;
}
