// Measures playback against its ceiling, how responsive the windows stay while frames play,
// how soon the first frame and the main window appear, and whether memory grows with use.
// Runs on an X display (bench/run starts Xvfb):  reelview_bench PATH_TO_REELVIEW
#include "Measures.h"
#include "Media.h"

#include "playback/PlayVideo.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

struct Size {
    const char* name;
    int width;
    int height;
    std::string path;
};

void Target(const char* what, bool met)
{
    std::printf("  %-66s %s\n", what, met ? "met" : "NOT MET");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: reelview_bench PATH_TO_REELVIEW (on an X display)\n");
        return 2;
    }
    const std::string program = argv[1];
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    QTemporaryDir folder;
    constexpr int frames = 300;
    std::vector<Size> sizes{{"1080p", 1920, 1080, {}}, {"480p", 854, 480, {}}};
    for (Size& size : sizes) {
        size.path = folder.filePath(QStringLiteral("%1.mp4").arg(size.name)).toStdString();
        if (!WriteBenchVideo(size.path, size.width, size.height, frames)) {
            std::fprintf(stderr, "no H.264 encoder for the test media\n");
            return 1;
        }
    }
    const std::string shortClip = folder.filePath(QStringLiteral("short.mp4")).toStdString();
    WriteBenchVideo(shortClip, 854, 480, 30);
    std::printf("media: H.264, %d frames each at 1920x1080 and 854x480\n\n", frames);

    PlayVideo(shortClip);  // makes the window, and warms the decoder and the disk cache
    BareReadFps(sizes[0].path);

    // The three ways are interleaved and repeated, each round in another order.
    using Way = std::function<double(const std::string&)>;
    const std::vector<std::pair<const char*, Way>> ways{
        {"bare read", BareReadFps}, {"PlayVideo", PlayVideoFps}, {"imshow+waitKey(1)", WaitKeyLoopFps}};
    constexpr int rounds = 5;
    std::map<std::string, std::map<std::string, std::vector<double>>> fps;
    for (int round = 0; round < rounds; ++round)
        for (const Size& size : sizes)
            for (size_t i = 0; i < ways.size(); ++i) {
                const auto& [name, way] = ways[(i + round) % ways.size()];
                fps[size.name][name].push_back(way(size.path));
            }

    std::printf("1. frames per second (median of %d, cases interleaved)\n", rounds);
    std::printf("  %-6s %10s %10s %18s %14s %18s\n", "size", "bare read", "PlayVideo",
                "imshow+waitKey(1)", "PlayVideo/bare", "PlayVideo/waitKey");
    std::map<std::string, std::pair<double, double>> ratios;
    for (const Size& size : sizes) {
        const double bare = Median(fps[size.name]["bare read"]);
        const double play = Median(fps[size.name]["PlayVideo"]);
        const double waitKey = Median(fps[size.name]["imshow+waitKey(1)"]);
        ratios[size.name] = {play / bare, play / waitKey};
        std::printf("  %-6s %10.1f %10.1f %18.1f %13.0f%% %17.2fx\n", size.name, bare, play,
                    waitKey, 100 * play / bare, play / waitKey);
    }

    std::vector<double> delays, repaints, playFps;
    for (int run = 0; run < 3; ++run) {
        PlaybackResponsiveness r = MeasureResponsiveness(sizes[0].path);
        delays.insert(delays.end(), r.eventDelaysMs.begin(), r.eventDelaysMs.end());
        repaints.push_back(r.repaintsPerSecond);
        playFps.push_back(r.framesPerSecond);
    }
    const double p50 = Percentile(delays, 0.50), p99 = Percentile(delays, 0.99);
    std::printf("\n2. delay of events posted every 5 ms during 1080p playback (%zu events)\n",
                delays.size());
    std::printf("  p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", p50, p99, Percentile(delays, 1.0));
    const double repaintRate = Median(repaints);
    std::printf("\n3. repaints of \"video\" during 1080p playback at %.0f frames/s\n",
                Median(playFps));
    std::printf("  %.1f per second\n", repaintRate);

    std::vector<double> firstFrame;
    for (int run = 0; run < 5; ++run)
        firstFrame.push_back(FirstFrameMs(sizes[0].path));
    const double firstMs = Median(firstFrame);
    std::printf("\n4. PlayVideo call to first frame painted, 1080p file (median of 5)\n");
    std::printf("  %.1f ms\n", firstMs);

    std::vector<double> startUp;
    for (int run = 0; run < 10; ++run)
        startUp.push_back(StartUpMs(program));
    const double startMs = Median(startUp);
    std::printf("\n5. program start to main window shown (median of 10)\n");
    std::printf("  %.1f ms (min %.1f, max %.1f)\n", startMs, Percentile(startUp, 0),
                Percentile(startUp, 1.0));

    double after10 = 0;
    for (int command = 1; command <= 200; ++command) {
        PlayVideo(shortClip);
        if (command == 10)
            after10 = ResidentMiB();
    }
    const double after200 = ResidentMiB();
    std::printf("\n6. resident memory, commands on the same 30-frame 480p file\n");
    std::printf("  after 10: %.1f MiB, after 200: %.1f MiB (%+.1f MiB)\n", after10, after200,
                after200 - after10);

    std::printf("\n7. profile of the playback loop: cost of each part\n");
    std::printf("  %-6s %12s %12s %12s %26s\n", "size", "decode ms", "imshow ms", "pump ms",
                "ceiling at 30 pumps/s");
    for (const Size& size : sizes) {
        const double decode = 1000.0 / Median(fps[size.name]["bare read"]);
        const double show = ImshowMs(size.path);
        const double pump = PumpMs(size.path);
        const double ceiling = (1.0 - 30 * pump / 1000.0) / (decode + show) * 1000.0;
        std::printf("  %-6s %12.2f %12.2f %12.2f %14.0f fps = %3.0f%%\n", size.name, decode, show,
                    pump, ceiling, 100 * ceiling / Median(fps[size.name]["bare read"]));
    }

    std::printf("\nTargets\n");
    Target("PlayVideo >= 72% of bare read at 1080p", ratios["1080p"].first >= 0.72);
    Target("PlayVideo >= 82% of bare read at 480p", ratios["480p"].first >= 0.82);
    Target("PlayVideo >= 1.4x imshow+waitKey(1) at 1080p", ratios["1080p"].second >= 1.4);
    Target("PlayVideo >= 1.4x imshow+waitKey(1) at 480p", ratios["480p"].second >= 1.4);
    Target("event delay p99 <= 50 ms", p99 <= 50);
    Target("video repainted >= 25 times a second", repaintRate >= 25);
    Target("first frame painted <= 100 ms after the call", firstMs >= 0 && firstMs <= 100);
    Target("main window shown <= 150 ms after start", startMs >= 0 && startMs <= 150);
    Target("memory after 200 commands within 10 MB of after 10", after200 - after10 <= 10);
    return 0;
}
