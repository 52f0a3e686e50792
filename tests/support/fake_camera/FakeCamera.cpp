#include "support/fake_camera/FakeCamera.h"

#include "support/ProcessRecords.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace fakecamera {

namespace {

// A whole decimal number within [minimum, maximum]; absent for anything else.
std::optional<unsigned long> ParseNumber(const char* text, unsigned long minimum, unsigned long maximum)
{
    if (!text || *text < '0' || *text > '9')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

// Reads one optional variable into target; false when it is set but malformed.
template <typename Value, typename Convert>
bool ReadOptional(const char* name, unsigned long minimum, unsigned long maximum, Value& target, Convert convert)
{
    const char* text = std::getenv(name);
    if (!text)
        return true;
    const auto number = ParseNumber(text, minimum, maximum);
    if (number)
        target = convert(*number);
    return number.has_value();
}

bool ReadColour(Settings& settings)
{
    const char* text = std::getenv("FAKE_CAMERA_COLOUR");
    if (!text)
        return true;
    if (std::strlen(text) != 6 || std::strspn(text, "0123456789abcdefABCDEF") != 6)
        return false;
    const unsigned long rgb = std::strtoul(text, nullptr, 16);
    settings.red = static_cast<std::uint8_t>(rgb >> 16);
    settings.green = static_cast<std::uint8_t>(rgb >> 8);
    settings.blue = static_cast<std::uint8_t>(rgb);
    return true;
}

// "WxH", an even width (every format's line stays whole) and both within 4096, which keeps a
// frame well inside 32 bits.
bool ParseSize(const std::string& text, unsigned& width, unsigned& height)
{
    const std::size_t separator = text.find('x');
    if (separator == std::string::npos)
        return false;
    const auto parsedWidth = ParseNumber(text.substr(0, separator).c_str(), 2, 4096);
    const auto parsedHeight = ParseNumber(text.substr(separator + 1).c_str(), 1, 4096);
    if (!parsedWidth || !parsedHeight || *parsedWidth % 2 != 0)
        return false;
    width = static_cast<unsigned>(*parsedWidth);
    height = static_cast<unsigned>(*parsedHeight);
    return true;
}

bool ReadSize(Settings& settings)
{
    const char* text = std::getenv("FAKE_CAMERA_SIZE");
    return !text || ParseSize(text, settings.modes[0].width, settings.modes[0].height);
}

// One mode, "F:WxH@R[/R...]".
std::optional<Mode> ParseMode(const std::string& text)
{
    const std::size_t colon = text.find(':'), at = text.find('@');
    if (colon != 4 || at == std::string::npos || at < colon)
        return std::nullopt;
    Mode mode{};
    const std::string format = text.substr(0, colon);
    if (format == "BGR3")
        mode.format = V4L2_PIX_FMT_BGR24;
    else if (format == "YUYV")
        mode.format = V4L2_PIX_FMT_YUYV;
    else if (format == "MJPG")
        mode.format = V4L2_PIX_FMT_MJPEG;
    else
        return std::nullopt;
    if (!ParseSize(text.substr(colon + 1, at - colon - 1), mode.width, mode.height))
        return std::nullopt;
    for (std::size_t start = at + 1; start <= text.size();) {
        std::size_t end = text.find('/', start);
        end = end == std::string::npos ? text.size() : end;
        const auto rate = ParseNumber(text.substr(start, end - start).c_str(), 1, 1000);
        if (!rate)
            return std::nullopt;
        mode.rates.push_back(static_cast<unsigned>(*rate));
        start = end + 1;
    }
    return mode;
}

bool ReadModes(Settings& settings)
{
    const char* text = std::getenv("FAKE_CAMERA_MODES");
    if (!text)
        return true;
    std::vector<Mode> modes;
    const std::string list = text;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(',', start);
        end = end == std::string::npos ? list.size() : end;
        const auto mode = ParseMode(list.substr(start, end - start));
        if (!mode)
            return false;
        modes.push_back(*mode);
        start = end + 1;
    }
    settings.modes = modes;
    return true;
}

bool ReadRefused(Settings& settings)
{
    const char* text = std::getenv("FAKE_CAMERA_REFUSE");
    if (!text)
        return true;
    const auto mode = ParseMode(std::string(text) + "@1");  // a mode's format and size, without rates
    if (!mode)
        return false;
    settings.refused = *mode;
    return true;
}

}  // namespace

std::optional<Settings> Settings::FromEnvironment()
{
    Settings settings;
    const auto milliseconds = [](unsigned long n) { return std::chrono::milliseconds(n); };
    const auto count = [](unsigned long n) { return static_cast<unsigned>(n); };
    const auto rate = [](unsigned long n) { return std::vector<unsigned>{static_cast<unsigned>(n)}; };
    const auto on = [](unsigned long n) { return n == 1; };
    const bool valid = ReadColour(settings) && ReadSize(settings)
        && ReadOptional("FAKE_CAMERA_FPS", 1, 1000, settings.modes[0].rates, rate) && ReadModes(settings)
        && ReadOptional("FAKE_CAMERA_EMPTY_EVERY", 1, UINT_MAX, settings.emptyEvery, count)
        && ReadOptional("FAKE_CAMERA_CUT_EVERY", 1, UINT_MAX, settings.cutEvery, count) && ReadRefused(settings)
        && ReadOptional("FAKE_CAMERA_NUMBERED", 0, 1, settings.numbered, on)
        && ReadOptional("FAKE_CAMERA_STALL_AFTER_MS", 0, INT_MAX, settings.stallAfter, milliseconds)
        && ReadOptional("FAKE_CAMERA_STALL_AFTER_FRAMES", 0, UINT_MAX, settings.stallAfterFrames, count)
        && ReadOptional("FAKE_CAMERA_VANISH_AFTER_MS", 0, INT_MAX, settings.vanishAfter, milliseconds);
    if (!valid)
        return std::nullopt;
    return settings;
}

namespace {

// What a process's fake cameras did, in memory the test program reads (ProcessRecords.h).
// Times are the steady clock's, which every process shares.
struct Records {
    std::uint64_t streams;  // how many started; the last one's:
    std::int64_t streamStartNs;
    std::uint32_t format, width, height, rate;
    std::uint64_t framesTaken;
    std::uint64_t handOvers;  // how many, the first mostHandOvers of them kept:
    static constexpr std::size_t mostHandOvers = 4096;
    struct {
        std::int64_t atNs;
        std::uint32_t buffer;
    } handOver[mostHandOvers];
};
constexpr const char* recordsName = "camera-records";
std::mutex recording;

Records& Mine()
{
    return processrecords::Own<Records>(recordsName);
}

std::int64_t Nanoseconds(std::chrono::steady_clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

std::chrono::steady_clock::time_point At(std::int64_t nanoseconds)
{
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

}  // namespace

std::optional<Stream> LastStream()
{
    std::optional<Stream> last;
    for (const Records& records : processrecords::Read<Records>(getpid(), recordsName))
        if (records.streams > 0 && (!last || At(records.streamStartNs) > last->start))
            last = Stream{At(records.streamStartNs), records.format, records.width, records.height, records.rate};
    return last;
}

void RecordStream(const Stream& stream)
{
    std::lock_guard<std::mutex> lock(recording);
    Records& records = Mine();
    records.streamStartNs = Nanoseconds(stream.start);
    records.format = stream.format, records.width = stream.width, records.height = stream.height;
    records.rate = stream.rate;
    ++records.streams;
}

std::vector<HandOver> HandOvers()
{
    std::vector<HandOver> all;
    for (const Records& records : processrecords::Read<Records>(getpid(), recordsName))
        for (std::size_t i = 0; i < std::min<std::size_t>(records.handOvers, Records::mostHandOvers); ++i)
            all.push_back({At(records.handOver[i].atNs), records.handOver[i].buffer});
    return all;
}

void RecordHandOver(const HandOver& handOver)
{
    std::lock_guard<std::mutex> lock(recording);
    Records& records = Mine();
    if (records.handOvers < Records::mostHandOvers)
        records.handOver[records.handOvers] = {Nanoseconds(handOver.at), handOver.buffer};
    ++records.handOvers;
}

unsigned long FramesTaken()
{
    unsigned long taken = 0;
    for (const Records& records : processrecords::Read<Records>(getpid(), recordsName))
        taken += records.framesTaken;
    return taken;
}

void RecordFrameTaken()
{
    std::lock_guard<std::mutex> lock(recording);
    ++Mine().framesTaken;
}

int OpenDescriptors(pid_t process)
{
    // The open camera's memory, and its frames', both carry the name.
    return processrecords::Descriptors(process, "fake-camera");
}

int OpenDescriptors()
{
    return OpenDescriptors(getpid());
}

int OpenDescriptorsOnceReleased()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (OpenDescriptors() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return OpenDescriptors();
}

}  // namespace fakecamera
