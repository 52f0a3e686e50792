// Measures playback against its ceiling, how responsive the windows stay, how soon the main
// window, the first input and the first frame are handled, and memory. Every figure that is
// compared is measured side by side in this run. Runs on an X display (bench/run starts Xvfb):
//   reelview_bench PROGRAM BARE_WINDOW FRESH_START [BEFORE_MODULE BEFORE_FRESH_START]
#include "Camera.h"
#include "Measures.h"
#include "Media.h"
#include "Playback.h"
#include "Programs.h"

#include "playback/DecoderTap.h"
#include "playback/Deinterlacer.h"
#include "playback/ToneMapping.h"
#include "shell/PlaybackModule.h"
#include "support/streams/CarefulDecode.h"
#include "support/streams/Libav.h"
#include "support/streams/TestStreams.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

struct Size {
    const char* name;
    int width;
    int height;
    int frames;
    std::string path;
};

struct Programs {
    std::string program, bareWindow, freshStart;
    std::string beforeModule, beforeFreshStart;  // the other build's module, if one is measured
};

// The playback command of another build (bench/run REVISION), measured beside this one's.
Command before;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

// Targets and whether they were met, printed together at the end.
std::vector<std::pair<std::string, bool>> targets;

void Target(const std::string& what, bool met)
{
    targets.emplace_back(what, met);
}

// 1. The three ways to play, interleaved and repeated, each round in another order.
void FramesPerSecond(const std::vector<Size>& sizes, std::map<std::string, double>& bareFps)
{
    using Way = std::function<double(const std::string&)>;
    std::vector<std::pair<const char*, Way>> ways{
        {"bare read", BareReadFps},
        {"PlayVideo", [](const std::string& path) { return PlayVideoFps(path); }},
        {"imshow+waitKey(1)", WaitKeyLoopFps}};
    if (before)
        ways.emplace_back("before", [](const std::string& path) { return PlayVideoFps(path, before); });
    constexpr int rounds = 7;
    std::map<std::string, std::map<std::string, std::vector<double>>> fps;
    for (int round = 0; round < rounds; ++round)
        for (const Size& size : sizes)
            for (size_t i = 0; i < ways.size(); ++i) {
                const auto& [name, way] = ways[(i + round) % ways.size()];
                fps[size.name][name].push_back(way(size.path));
            }

    std::printf("1. frames per second (median of %d, cases interleaved)\n", rounds);
    std::printf("  %-6s %10s %10s %18s %14s %18s%s\n", "size", "bare read", "PlayVideo",
                "imshow+waitKey(1)", "PlayVideo/bare", "PlayVideo/waitKey",
                before ? "     before  before/bare" : "");
    for (const Size& size : sizes) {
        const double bare = Median(fps[size.name]["bare read"]);
        const double play = Median(fps[size.name]["PlayVideo"]);
        const double waitKey = Median(fps[size.name]["imshow+waitKey(1)"]);
        bareFps[size.name] = bare;
        std::printf("  %-6s %10.1f %10.1f %18.1f %13.0f%% %17.2fx", size.name, bare, play,
                    waitKey, 100 * play / bare, play / waitKey);
        if (before) {
            const double old = Median(fps[size.name]["before"]);
            std::printf(" %10.1f %11.0f%%", old, 100 * old / bare);
        }
        std::printf("\n");
        const std::string name = size.name;
        const int share = name == "480p" ? 92 : name == "1080p" ? 90 : 85;
        Target("PlayVideo >= " + std::to_string(share) + "% of bare read at " + size.name,
               play / bare >= share / 100.0);
        if (std::string(size.name) != "2160p")
            Target(std::string("PlayVideo >= 1.4x imshow+waitKey(1) at ") + size.name, play / waitKey >= 1.4);
    }
}

// 2 and 3. Events and repaints while 1080p frames play, each command's start included.
void DuringPlayback(const Size& size, double bareOpenReadMs)
{
    std::vector<double> delays, repaints, playFps, beforeDelays;
    for (int run = 0; run < 3; ++run) {
        Responsiveness r = PlaybackResponsiveness(size.path);
        delays.insert(delays.end(), r.eventDelaysMs.begin(), r.eventDelaysMs.end());
        repaints.push_back(r.repaintsPerSecond);
        playFps.push_back(r.framesPerSecond);
        if (before) {
            const auto old = PlaybackResponsiveness(size.path, before).eventDelaysMs;
            beforeDelays.insert(beforeDelays.end(), old.begin(), old.end());
        }
    }
    const double p99 = Percentile(delays, 0.99);
    const double longest = Percentile(delays, 1.0);
    std::printf("\n2. delay of events posted every 5 ms during %s playback, from the command's call\n"
                "   (%zu events, 3 commands)\n", size.name, delays.size());
    std::printf("  p50 %.1f ms, p99 %.1f ms, max %.1f ms (%.2fx a bare open + first read, %.1f ms)\n",
                Percentile(delays, 0.5), p99, longest, longest / bareOpenReadMs, bareOpenReadMs);
    if (before)
        std::printf("  before: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", Percentile(beforeDelays, 0.5),
                    Percentile(beforeDelays, 0.99), Percentile(beforeDelays, 1.0));
    std::printf("\n3. repaints of \"video\" during %s playback at %.0f frames/s\n", size.name,
                Median(playFps));
    std::printf("  %.1f per second\n", Median(repaints));
    Target("event delay p99 <= 30 ms during playback, its start included", p99 <= 30);
    Target("longest event delay <= 2x a bare open + first read", longest <= 2 * bareOpenReadMs);
    Target("video repainted >= 25 times a second", Median(repaints) >= 25);
}

// The reference for a command's start: OpenCV alone opening the file and reading its first
// frame in this process, interleaved with commands (median of 7).
double BareOpenRead(const Size& size)
{
    std::vector<double> bare;
    for (int run = 0; run < 7; ++run) {
        bare.push_back(BareOpenReadMs(size.path));
        playback_module::PlayVideo(size.path);
    }
    return Median(bare);
}

// 4. The first frame, in this process (warm) and as the first command of a new program.
void FirstFrame(const Size& size, const Programs& programs)
{
    // The warm figures apart from the new programs: right after one has started and played,
    // this process's next open takes two to three times as long, the bare one included.
    std::vector<double> warm, bare, warmBefore, afterSecond, atOnce, inputP99, inputMax;
    for (int run = 0; run < 7; ++run) {
        warm.push_back(FirstFrameMs(size.path));
        bare.push_back(BareOpenReadMs(size.path));
        if (before)
            warmBefore.push_back(FirstFrameMs(size.path, before));
    }
    for (int run = 0; run < 5; ++run) {
        const auto first = RunForFigures(programs.freshStart, {"first-second", size.path});
        afterSecond.push_back(FigureOf(first, "first_frame_ms"));
        inputP99.push_back(FigureOf(first, "input_p99_ms"));
        inputMax.push_back(FigureOf(first, "input_max_ms"));
        atOnce.push_back(FigureOf(RunForFigures(programs.freshStart, {"at-once", size.path}), "first_frame_ms"));
    }
    std::printf("\n4. PlayVideo call to first frame painted, %s file (median of 7, interleaved)\n", size.name);
    std::printf("  %.1f ms in a program that has played before, beside %.1f ms for a bare open +\n"
                "           first read in the same process: %.2fx\n",
                Median(warm), Median(bare), Median(warm) / Median(bare));
    if (before)
        std::printf("  %.1f ms before, in the same process: %.2fx the bare open + first read\n",
                    Median(warmBefore), Median(warmBefore) / Median(bare));
    std::printf("  %.1f ms as a new program's first command, 1 s after its window appeared\n",
                Median(afterSecond));
    std::printf("  %.1f ms as a new program's first command, the moment its window appeared\n"
                "           (includes waiting for the playback module)\n", Median(atOnce));
    std::printf("\n5. delay of input posted every 5 ms in a new program's first second after its\n"
                "   window appeared, while playback loads (5 programs)\n");
    std::printf("  p99 %.1f ms (worst program), max %.1f ms\n", Percentile(inputP99, 1.0),
                Percentile(inputMax, 1.0));
    const double worstFirst = std::max(Median(warm), Median(afterSecond));
    Target("first frame painted <= 100 ms after the call, first command too",
           worstFirst >= 0 && worstFirst <= 100);
    Target("warm first frame <= 1.3x a bare open + first read", Median(warm) <= 1.3 * Median(bare));
    Target("warm first frame <= 40 ms", Median(warm) >= 0 && Median(warm) <= 40);
    Target("input in the first second handled within 50 ms (p99)", Percentile(inputP99, 1.0) <= 50);
}

// 6. Start to main window, the program beside a bare Qt window, interleaved.
void StartUp(const Programs& programs)
{
    std::vector<double> program, bare;
    for (int run = 0; run < 10; ++run) {
        program.push_back(StartUpMs(programs.program));
        bare.push_back(StartUpMs(programs.bareWindow));
    }
    const double programMs = Median(program), bareMs = Median(bare);
    std::printf("\n6. start to main window shown (median of 10, interleaved)\n");
    std::printf("  program %.1f ms, minimal Qt window %.1f ms: %.2fx\n", programMs, bareMs, programMs / bareMs);
    Target("main window <= 1.3x a minimal Qt window", programMs > 0 && programMs <= 1.3 * bareMs);
    Target("main window shown <= 150 ms after start", programMs > 0 && programMs <= 150);
}

// 7. Memory: many commands on one file, and a large video in a new program.
void Memory(const std::string& shortClip, const std::string& largeClip, const Size& large,
            const Programs& programs)
{
    double after10 = 0;
    for (int command = 1; command <= 200; ++command) {
        playback_module::PlayVideo(shortClip);
        if (command == 10)
            after10 = ResidentMiB();
    }
    const double after200 = ResidentMiB();
    std::printf("\n7. resident memory\n");
    std::printf("  commands on the same 30-frame 480p file: after 10: %.1f MiB, after 200: %.1f MiB (%+.1f MiB)\n",
                after10, after200, after200 - after10);
    Target("memory after 200 commands: +0 MiB (within 1 MiB) of after 10", after200 - after10 <= 1);

    const auto figures = RunForFigures(programs.freshStart, {"memory", shortClip, largeClip});
    const double before = FigureOf(figures, "before_mib"), peak = FigureOf(figures, "peak_mib"),
                 after = FigureOf(figures, "after_mib");
    const double frameMiB = large.width * large.height * 3 / 1048576.0;
    std::printf("  a %dx%d video in a new program: before %.1f MiB, peak %.1f MiB, after %.1f MiB\n"
                "  (after - before = %.1f decoded frames of %.1f MiB)\n",
                large.width, large.height, before, peak, after, (after - before) / frameMiB, frameMiB);
    Target("memory after a large video <= before + 3 decoded frames", after > 0 && after <= before + 3 * frameMiB);
}

// 8. Where a frame's time goes in the loop.
void Profile(const std::vector<Size>& sizes, std::map<std::string, double>& bareFps)
{
    std::printf("\n8. profile of the playback loop: cost of each part\n");
    std::printf("  %-6s %10s %10s %10s %12s %24s\n", "size", "decode ms", "imshow ms", "pump ms",
                "pollKey ms", "ceiling at 30 pumps/s");
    for (const Size& size : sizes) {
        const double decode = 1000.0 / bareFps[size.name];
        const double show = ImshowMs(size.path);
        const double pump = PumpMs(size.path);
        const double ceiling = (1.0 - 30 * pump / 1000.0) / (decode + show) * 1000.0;
        std::printf("  %-6s %10.2f %10.2f %10.2f %12.2f %12.0f fps = %3.0f%%\n", size.name, decode,
                    show, pump, PollKeyMs(size.path), ceiling, 100 * ceiling / bareFps[size.name]);
    }
}

// 9. What showing a file as it means costs: a turned and a non-square clip, PlayVideo beside
// the bare read loop, interleaved (median of 5).
void ShapedFrames(const QTemporaryDir& folder)
{
    struct Clip {
        const char* name;
        Encoding encoding;
        int frames;
        std::string path;
    };
    std::vector<Clip> clips(2);
    clips[0].name = "1080p turned 90";
    clips[0].encoding.width = 1920, clips[0].encoding.height = 1080;
    clips[0].encoding.displayRotationClockwise = 90;
    clips[0].frames = 90;
    clips[1].name = "576p at 64:45";
    clips[1].encoding.width = 720, clips[1].encoding.height = 576;
    clips[1].encoding.sampleAspect = {64, 45};
    clips[1].frames = 300;
    std::printf("\n9. frames per second of files shown as they mean (median of 5, interleaved)\n");
    std::printf("  %-16s %10s %10s %14s\n", "clip", "bare read", "PlayVideo", "PlayVideo/bare");
    for (Clip& clip : clips) {
        clip.path = folder.filePath(QString::number(&clip - clips.data()) + ".mp4").toStdString();
        clip.encoding.encoderOptions = {{"preset", "ultrafast"}};
        WriteVideo(clip.path, clip.encoding, clip.frames, [](int x, int y, int frame) {
            return YCbCr{double(16 + (x + y + 4 * frame) % 220), double(64 + x % 128), double(64 + y % 128)};
        });
        std::vector<double> bare, play;
        for (int run = 0; run < 5; ++run) {
            bare.push_back(BareReadFps(clip.path));
            play.push_back(PlayVideoFps(clip.path));
        }
        std::printf("  %-16s %10.1f %10.1f %13.0f%%\n", clip.name, Median(bare), Median(play),
                    100 * Median(play) / Median(bare));
    }
}

// 10. Pictures larger than the screen: each shown fitted (scaled each frame), at its own size,
// and through a HighGUI window that scales only what it paints; beside the bare read,
// interleaved (median of 5). Also in a room of 1600x900, where 4K shrinks by no whole factor.
ScreenRoom LaptopRoom(int, int)
{
    return {0, 0, 1600, 900, 0, 0, 1.0};
}

void LargerThanTheScreen(const std::vector<Size>& clips)
{
    std::printf("\n10. pictures larger than the screen's room (median of 5, interleaved; share of the\n"
                "    bare read)\n");
    std::printf("  %-10s %-10s %10s %14s %14s %18s%s\n", "clip", "room", "bare read", "fitted",
                "unfitted", "scaling window", before ? "         before" : "");
    for (const auto& [clip, room] : std::vector<std::pair<Size, ScreenRoomQuery>>{
             {clips[0], playback_module::RoomOnScreen}, {clips[1], playback_module::RoomOnScreen},
             {clips[0], LaptopRoom}}) {
        const ScreenRoom area = room(0, 0);
        const double scale = std::min(double(area.width) / clip.width, double(area.height) / clip.height);
        const cv::Size fitted(int(std::lround(clip.width * scale)), int(std::lround(clip.height * scale)));
        std::vector<double> bare, fit, unfit, window, old;
        for (int run = 0; run < 5; ++run) {
            bare.push_back(BareReadFps(clip.path));
            fit.push_back(PlayVideoFps(clip.path, CommandInRoom(room)));
            unfit.push_back(PlayVideoFps(clip.path, CommandInRoom(nullptr)));
            window.push_back(ScaledWindowFps(clip.path, fitted));
            if (before)
                old.push_back(PlayVideoFps(clip.path, before));
        }
        const double reference = Median(bare);
        const auto share = [reference](const std::vector<double>& fps) {
            return Format("%.1f %3.0f%%", Median(fps), 100 * Median(fps) / reference);
        };
        std::printf("  %-10s %-10s %10.1f %14s %14s %18s %14s\n", clip.name,
                    Format("%dx%d", area.width, area.height).c_str(), reference, share(fit).c_str(),
                    share(unfit).c_str(), share(window).c_str(), before ? share(old).c_str() : "");
        if (std::string(clip.name) == "2160p" && room == playback_module::RoomOnScreen)
            Target("fitted 2160p >= 63% of bare read", Median(fit) >= 0.63 * reference);
    }
}

// 11. What a stream's own colours cost: told to OpenCV's converter, or corrected in each frame
// after it, beside the read as OpenCV does it (interleaved, median of 5). HD is BT.709, SD
// BT.601, as streams that say nothing are taken to be.
void ColourRoutes(const std::vector<Size>& sizes)
{
    std::printf("\n11. frames per second of the read, a stream in its own colours (median of 5, interleaved)\n");
    std::printf("  %-6s %-8s %14s %22s %24s\n", "size", "matrix", "as OpenCV does", "told to its converter",
                "corrected in each frame");
    for (const Size& size : sizes) {
        const bool hd = size.width >= 1280;
        std::vector<double> plain, told, corrected;
        for (int run = 0; run < 5; ++run) {
            plain.push_back(BareReadFps(size.path));
            told.push_back(ToldColourReadFps(size.path, hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M));
            if (hd)
                corrected.push_back(CorrectedColourReadFps(size.path));
        }
        const double reference = Median(plain);
        std::printf("  %-6s %-8s %14.1f %15.1f %5.0f%%", size.name, hd ? "BT.709" : "BT.601", reference,
                    Median(told), 100 * Median(told) / reference);
        if (hd)
            std::printf(" %17.1f %5.0f%%", Median(corrected), 100 * Median(corrected) / reference);
        std::printf("\n");
    }
}


// 13. A whole command on a short file, from the call to its return, the end of the file
// included: this build's beside the other build's, interleaved (median of 41).
void ShortCommand(const std::string& shortClip)
{
    if (!before)
        return;
    std::vector<double> ours, theirs;
    for (int run = 0; run < 41; ++run) {
        for (const auto& [command, times] : {std::pair{Command(ProgramCommand), &ours}, {before, &theirs}}) {
            const auto start = Clock::now();
            command(shortClip);
            times->push_back(MsSince(start));
        }
    }
    std::printf("\n13. a command on a 30-frame 480p file, call to return (median of 41, interleaved)\n");
    std::printf("  %.1f ms, before %.1f ms (%+.1f ms)\n", Median(ours), Median(theirs), Median(ours) - Median(theirs));
}

// Film grain, as FFmpeg's noise=alls=12:allf=t+u adds it: uniform, up to 12 levels either way,
// on every component, anew each frame.
double Grain(int x, int y, int frame, int component)
{
    std::uint32_t hash = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u
        ^ std::uint32_t(frame) * 83492791u ^ std::uint32_t(component) * 2654435761u;
    hash = (hash ^ (hash >> 13)) * 0x5bd1e995u;
    return double((hash ^ (hash >> 15)) % 25) - 12;
}

struct HdrClip {
    const char* name;
    int width, height, frames, transfer;
    bool grain;
    std::string path;
};

// A 10-bit HEVC stream of the clip, a test pattern: colour bars across the top third, moving
// texture up to about 180 nits (PQ) or mid-grey (HLG) with a bright disc crossing it in the
// middle, and a ramp from black to the stream's brightest across the bottom; with grain or
// without.
void WriteHdrClip(HdrClip& clip, const QTemporaryDir& folder)
{
    Encoding encoding;
    encoding.encoder = "libx265";
    encoding.width = clip.width, encoding.height = clip.height;
    encoding.pixelFormat = AV_PIX_FMT_YUV420P10LE;
    encoding.matrix = AVCOL_SPC_BT2020_NCL, encoding.primaries = AVCOL_PRI_BT2020;
    encoding.transfer = AVColorTransferCharacteristic(clip.transfer);
    encoding.encoderOptions = {{"preset", "ultrafast"}, {"x265-params", "log-level=none"}};
    clip.path = folder.filePath(QString::fromUtf8(clip.name).replace(' ', '_') + ".mkv").toStdString();
    // Yellow, cyan, green, magenta, red, blue and grey, at three quarters.
    constexpr YCbCr bars[7] = {{168, 44, 136}, {145, 147, 44}, {134, 63, 52},  {63, 193, 204},
                               {51, 109, 212}, {28, 212, 120}, {180, 128, 128}};
    const double scale = clip.width / 1920.0;
    WriteVideo(clip.path, encoding, clip.frames, [&](int x, int y, int frame) {
        const double fx = x / scale, fy = y / scale;
        YCbCr sample{};
        if (fy < 360) {
            sample = bars[std::min(6, int(fx * 7 / 1920))];
        } else if (fy >= 720) {
            sample = {16 + 219 * fx / 1920, 128, 128};
        } else {
            const double dx = fx - (200 + 12 * frame) % 1920, dy = fy - 540;
            const double wave = std::sin((fx + 6.0 * frame) / 23) * std::cos((fy - 4.0 * frame) / 31);
            sample = dx * dx + dy * dy < 150 * 150 ? YCbCr{200, 128, 128}
                                                   : YCbCr{95 + 45 * wave, 128 + 20 * wave, 128 - 15 * wave};
        }
        if (clip.grain) {
            sample.luma += Grain(x, y, frame, 0);
            sample.blueDifference += Grain(x, y, frame, 1);
            sample.redDifference += Grain(x, y, frame, 2);
        }
        return sample;
    });
}

// The other build's mapping pass (bench/run REVISION) on a frame's R'G'B' at 16 bits, as swscale's
// planar RGB gives them, which it took: its module's own C++ symbols, loaded beside this build's.
// Null where they are not there.
std::function<double(const YcbcrPlanes&, const StreamLight&)> BeforePass(const std::string& module)
{
    void* loaded = module.empty() ? nullptr : dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    using Construct = void (*)(void* mapper, const StreamLight& light);
    using Map = void (*)(const void* mapper, const std::array<cv::Mat, 3>& planes, cv::Mat& picture);
    const auto construct = loaded ? reinterpret_cast<Construct>(dlsym(loaded, "_ZN10ToneMapperC1ERK11StreamLight")) : nullptr;
    const auto map =
        loaded ? reinterpret_cast<Map>(dlsym(loaded, "_ZNK10ToneMapper3MapERKSt5arrayIN2cv3MatELm3EERS2_")) : nullptr;
    if (!construct || !map)
        return {};
    return [construct, map](const YcbcrPlanes& frame, const StreamLight& light) {
        const int width = frame.luma.cols, height = frame.luma.rows;
        std::array<cv::Mat, 3> planes;  // green, blue, red
        for (cv::Mat& plane : planes)
            plane.create(height, width, CV_16U);
        SwsContext* converter = sws_getContext(width, height, AV_PIX_FMT_YUV420P10LE, width, height,
                                               AV_PIX_FMT_GBRP16, SWS_BICUBIC, nullptr, nullptr, nullptr);
        const int* coefficients = sws_getCoefficients(AVCOL_SPC_BT2020_NCL);
        sws_setColorspaceDetails(converter, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        const uint8_t* source[3] = {frame.luma.data, frame.blueDifference.data, frame.redDifference.data};
        const int sourceStride[3] = {int(frame.luma.step), int(frame.blueDifference.step), int(frame.redDifference.step)};
        uint8_t* destination[3] = {planes[0].data, planes[1].data, planes[2].data};
        const int destinationStride[3] = {int(planes[0].step), int(planes[1].step), int(planes[2].step)};
        sws_scale(converter, source, sourceStride, 0, height, destination, destinationStride);
        sws_freeContext(converter);
        alignas(64) static unsigned char mapper[4096];  // larger than it is; left as it is, not destroyed
        construct(mapper, light);
        cv::Mat mapped;
        std::vector<double> ms;
        for (int run = 0; run < 30; ++run) {
            const auto start = Clock::now();
            map(mapper, planes, mapped);
            ms.push_back(MsSince(start));
        }
        return Median(ms);
    };
}

// 12. HDR for an SDR screen, on footage as cameras make it, with grain: the mapping pass on a
// 1080p frame (one core, median of 30) here and in the other build, whose pass took R'G'B' that
// swscale had made first; and phone and film clips played to their end beside their bare read,
// interleaved, median of 5, in this process and as new programs of this build and of the other
// build (whose module can only stand between OpenCV and FFmpeg in a process of its own).
void Hdr(const QTemporaryDir& folder, const Programs& programs)
{
    std::vector<HdrClip> clips{{"1080p PQ", 1920, 1080, 120, AVCOL_TRC_SMPTE2084, false, {}},
                               {"1080p PQ grain", 1920, 1080, 120, AVCOL_TRC_SMPTE2084, true, {}},
                               {"1080p HLG grain", 1920, 1080, 120, AVCOL_TRC_ARIB_STD_B67, true, {}},
                               {"2160p HLG grain", 3840, 2160, 60, AVCOL_TRC_ARIB_STD_B67, true, {}}};
    for (HdrClip& clip : clips)
        WriteHdrClip(clip, folder);

    std::printf("\n12. HDR (BT.2020, 10-bit HEVC) for an SDR screen\n");
    const auto beforePass = BeforePass(programs.beforeModule);
    std::map<std::string, double> passMs;
    for (const HdrClip& clip : clips) {
        if (clip.width != 1920)
            continue;
        TapFile(StreamColour{AVCOL_SPC_BT2020_NCL, false});
        cv::VideoCapture capture(clip.path, cv::CAP_FFMPEG);
        capture.grab();
        const YcbcrPlanes frame = *HdrPicture();
        const StreamLight light{clip.transfer, AVCOL_PRI_BT2020, 0};
        const ToneMapper mapper(light);
        cv::Mat mapped;
        const auto median = [&] {
            std::vector<double> ms;
            for (int run = 0; run < 30; ++run) {
                const auto start = Clock::now();
                mapper.Map(frame, 1, mapped);
                ms.push_back(MsSince(start));
            }
            return Median(ms);
        };
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        const double oneCore = median();
        cv::setNumThreads(threads);
        const double allCores = median();
        passMs[clip.name] = oneCore;
        std::printf("  mapping pass, %-16s %5.2f ms on one core, %5.2f ms on %d", clip.name, oneCore, allCores, threads);
        if (beforePass) {
            cv::setNumThreads(1);
            std::printf("; the other build's %5.2f ms on one core", beforePass(frame, light));
            cv::setNumThreads(threads);
        }
        std::printf("\n");
        TapFile(std::nullopt);
    }

    const auto program = [](const std::string& freshStart, const HdrClip& clip) {
        return FigureOf(RunForFigures(freshStart, {"play", clip.path, std::to_string(clip.frames)}),
                        "frames_per_second");
    };
    std::printf("  %-16s %10s %10s %18s %18s\n", "clip", "bare read", "PlayVideo", "as a new program",
                before ? "the other build's" : "");
    for (const HdrClip& clip : clips) {
        std::vector<double> bare, play, fresh, old;
        for (int run = 0; run < 5; ++run) {
            bare.push_back(BareReadFps(clip.path));
            play.push_back(PlayVideoFps(clip.path));
            fresh.push_back(program(programs.freshStart, clip));
            if (!programs.beforeFreshStart.empty())
                old.push_back(program(programs.beforeFreshStart, clip));
        }
        const double share = Median(fresh) / Median(bare);
        std::printf("  %-16s %10.1f %5.1f (%2.0f%%) %11.1f (%2.0f%%)", clip.name, Median(bare), Median(play),
                    100 * Median(play) / Median(bare), Median(fresh), 100 * share);
        if (!old.empty())
            std::printf(" %11.1f (%2.0f%%)", Median(old), 100 * Median(old) / Median(bare));
        std::printf("\n");
        if (!clip.grain)
            continue;
        // 4K on a 1080p screen: the player makes a quarter of the pixels the bare read converts.
        const bool is4K = clip.width == 3840;
        Target(std::string(clip.name) + " played at >= " + (is4K ? "90" : "70") + "% of its bare read",
               share >= (is4K ? 0.9 : 0.7));
    }
    Target("HDR mapping pass <= 4 ms per grainy 1080p frame on one core", passMs["1080p HLG grain"] <= 4);
}

// 15. Camera 0, the fake camera: a 1080p webcam, which shows its 1080p Motion-JPEG mode, and a
// camera of 640x480 YUYV alone. Frames read and the CPU they take (median of 3), the first frame
// beside OpenCV alone opening the camera (interleaved, median of 7), and how soon a frame reaches
// the screen.
void Cameras()
{
    struct Camera {
        const char* name;
        const char* modes;
        const char* fourcc;
        int width, height;
    };
    const Camera cameras[]{{"1080p MJPEG",
                            "YUYV:640x480@30,YUYV:1280x720@10,YUYV:1920x1080@5,"
                            "MJPG:640x480@30,MJPG:1280x720@30,MJPG:1920x1080@30",
                            "MJPG", 1920, 1080},
                           {"480p YUYV", "YUYV:640x480@30", "YUYV", 640, 480}};
    std::printf("\n15. camera 0 at 30 frames/s (CPU in %% of one core, the whole process)\n");
    std::printf("  %-12s %12s %6s %14s %22s %16s%s\n", "camera", "frames/s", "CPU", "first frame",
                "bare open+read (mode)", "choosing, ms", before ? "   before" : "");
    for (const Camera& camera : cameras) {
        std::vector<double> fps, cpu, first, bare, bareInMode, old, choose;
        for (int run = 0; run < 3; ++run) {
            const CameraRun played = PlayCamera(camera.modes, 4);
            fps.push_back(played.framesPerSecond);
            cpu.push_back(played.cpuPercent);
        }
        // The camera's frames come every 33 ms, so a first frame is one of a few steps apart.
        for (int run = 0; run < 7; ++run) {
            first.push_back(PlayCamera(camera.modes, 0.2).firstFrameMs);
            bare.push_back(BareCameraOpenReadMs(camera.modes));
            bareInMode.push_back(BareCameraOpenReadMs(camera.modes, camera.fourcc, camera.width, camera.height));
            if (before)
                old.push_back(PlayCamera(camera.modes, 0.2, before).firstFrameMs);
        }
        for (int run = 0; run < 21; ++run)
            choose.push_back(ChooseModeMs(camera.modes));
        const std::vector<double> latencies = CameraLatenciesMs(camera.modes, 5);
        std::printf("  %-12s %12.1f %5.0f%% %11.1f ms %8.1f (%5.1f) ms %16.2f", camera.name, Median(fps), Median(cpu),
                    Median(first), Median(bare), Median(bareInMode), Median(choose));
        if (before)
            std::printf(" %6.1f ms", Median(old));
        std::printf("\n  %-12s hand-over to screen: median %.1f ms, 90%% %.1f ms, max %.1f ms (%zu frames)\n", "",
                    Median(latencies), Percentile(latencies, 0.9), Percentile(latencies, 1.0), latencies.size());
        Target(std::string("camera ") + camera.name + " read at its rate (>= 29 frames/s)", Median(fps) >= 29);
        Target(std::string("camera ") + camera.name + " frame on screen <= 50 ms after hand-over (median)",
               !latencies.empty() && Median(latencies) <= 50);
        Target(std::string("camera ") + camera.name + ": listing and choosing its mode <= 3 ms", Median(choose) <= 3);
    }
}

// 16. Interlaced video: what deinterlacing costs a 1080 frame (bwdif, on the one thread it has), and a
// 1080i H.264 clip played beside its bare read, which weaves the fields (interleaved, median of 5).
void Interlaced(const QTemporaryDir& folder)
{
    Encoding encoding;
    encoding.width = 1920, encoding.height = 1080;
    encoding.fieldOrder = AV_FIELD_TT;
    encoding.encoderOptions = {{"preset", "veryfast"}, {"crf", "20"}};
    const std::string path = folder.filePath(QStringLiteral("1080i.m2ts")).toStdString();
    constexpr int frames = 100;
    // Texture and a bright bar, each field at its own moment.
    WriteVideo(path, encoding, frames, [](int x, int y, int frame) {
        const double time = 2 * frame + y % 2;
        if (std::abs(x - int(24 * time) % 1920) < 80)
            return YCbCr{220, 128, 128};
        const double wave = std::sin((x + 3 * time) / 19) * std::cos((y - 2 * time) / 27);
        return YCbCr{110 + 60 * wave, 128 + 20 * wave, 128 - 15 * wave};
    });

    std::vector<Frame> decoded;
    DecodeCarefully(path, [&](const ReferenceFrame& frame) {
        if (decoded.size() < 30)
            decoded.emplace_back(av_frame_clone(frame.decoded));
    });
    std::vector<double> passMs;
    const Frame given(av_frame_alloc());
    for (int run = 0; run < 5; ++run) {
        Deinterlacer deinterlacer;
        const auto start = Clock::now();
        for (const Frame& frame : decoded) {
            const Frame copy(av_frame_clone(frame.get()));
            deinterlacer.Take(*copy);
            while (deinterlacer.Give(*given))
                av_frame_unref(given.get());
        }
        deinterlacer.Finish();
        while (deinterlacer.Give(*given))
            av_frame_unref(given.get());
        passMs.push_back(MsSince(start) / double(decoded.size()));
    }

    std::vector<double> bare, play;
    for (int run = 0; run < 5; ++run) {
        bare.push_back(BareReadFps(path));
        play.push_back(PlayVideoFps(path));
    }
    std::printf("\n16. interlaced 1080i H.264, top field first\n");
    std::printf("  deinterlacing (bwdif) a 1080 frame: %.2f ms on one thread\n", Median(passMs));
    std::printf("  bare read %.1f, PlayVideo %.1f frames/s (%.0f%%)\n", Median(bare), Median(play),
                100 * Median(play) / Median(bare));
    Target("deinterlacing <= 5 ms per 1080 frame", Median(passMs) <= 5);
    Target("1080i PlayVideo >= 60% of bare read", Median(play) >= 0.6 * Median(bare));
}

}  // namespace

// 14. The 1080p clip on a high-DPI laptop screen (2560x1600 at 200%), where its picture is made
// at the screen's resolution: bench/run runs this on an X screen of its own.
int HighDpi(char* program)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    int qtArgc = 1;
    QApplication app(qtArgc, &program);
    QTemporaryDir folder;
    const std::string clip = folder.filePath(QStringLiteral("1080p.mp4")).toStdString();
    const std::string warmUp = folder.filePath(QStringLiteral("short.mp4")).toStdString();
    if (!WriteBenchVideo(clip, 1920, 1080, 300) || !WriteBenchVideo(warmUp, 854, 480, 30))
        return 1;
    playback_module::PlayVideo(warmUp);
    std::vector<double> bare, play;
    for (int run = 0; run < 5; ++run) {
        bare.push_back(BareReadFps(clip));
        play.push_back(PlayVideoFps(clip));
    }
    const double ratio = QGuiApplication::primaryScreen()->devicePixelRatio();
    std::printf("\n14. the 1080p clip on a %dx%d screen at device pixel ratio %.1f (median of 5, interleaved)\n",
                int(QGuiApplication::primaryScreen()->geometry().width() * ratio),
                int(QGuiApplication::primaryScreen()->geometry().height() * ratio), ratio);
    std::printf("  bare read %.1f, PlayVideo %.1f frames/s (%.0f%%)\n", Median(bare), Median(play),
                100 * Median(play) / Median(bare));
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--high-dpi" && std::getenv("DISPLAY"))
        return HighDpi(argv[0]);
    if ((argc != 4 && argc != 6) || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: reelview_bench PROGRAM BARE_WINDOW FRESH_START [BEFORE_MODULE BEFORE_FRESH_START]"
                             " | --high-dpi (on an X display)\n");
        return 2;
    }
    const Programs programs{argv[1], argv[2], argv[3], argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : ""};
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    if (argc == 6 && !(before = BeforeCommand(argv[4]))) {
        std::fprintf(stderr, "can't load the playback module %s\n", argv[4]);
        return 1;
    }

    QTemporaryDir folder;
    std::vector<Size> sizes{{"2160p", 3840, 2160, 120, {}}, {"1080p", 1920, 1080, 300, {}},
                            {"480p", 854, 480, 300, {}}};
    Size large{"4320p", 7680, 4320, 8, {}};
    Size portrait{"1080x1920", 1080, 1920, 120, {}};
    const std::string shortClip = folder.filePath(QStringLiteral("short.mp4")).toStdString();
    for (Size* size : {&sizes[0], &sizes[1], &sizes[2], &large, &portrait}) {
        size->path = folder.filePath(QStringLiteral("%1.mp4").arg(size->name)).toStdString();
        if (!WriteBenchVideo(size->path, size->width, size->height, size->frames)) {
            std::fprintf(stderr, "no H.264 encoder for the test media\n");
            return 1;
        }
    }
    WriteBenchVideo(shortClip, 854, 480, 30);
    std::printf("media: H.264; 2160p %d frames, 1080p and 480p %d frames each\n\n", sizes[0].frames,
                sizes[1].frames);

    playback_module::PlayVideo(shortClip);  // loads playback, makes the window, warms the caches
    BareReadFps(sizes[1].path);

    std::map<std::string, double> bareFps;
    FramesPerSecond(sizes, bareFps);
    DuringPlayback(sizes[1], BareOpenRead(sizes[1]));
    FirstFrame(sizes[1], programs);
    StartUp(programs);
    Memory(shortClip, large.path, large, programs);
    Profile(sizes, bareFps);
    ShapedFrames(folder);
    LargerThanTheScreen({sizes[0], portrait});
    ColourRoutes({sizes[1], sizes[2]});
    Hdr(folder, programs);
    ShortCommand(shortClip);
    Cameras();
    Interlaced(folder);

    std::printf("\nTargets\n");
    for (const auto& [what, met] : targets)
        std::printf("  %-66s %s\n", what.c_str(), met ? "met" : "NOT MET");
    return 0;
}
