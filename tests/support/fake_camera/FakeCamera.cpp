#include "support/fake_camera/FakeCamera.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
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

bool ReadSize(Settings& settings)
{
    const char* text = std::getenv("FAKE_CAMERA_SIZE");
    if (!text)
        return true;
    const char* separator = std::strchr(text, 'x');
    if (!separator)
        return false;
    const std::string width(text, separator);
    // Even widths keep every format's line whole; 4096 keeps a frame well inside 32 bits.
    const auto parsedWidth = ParseNumber(width.c_str(), 2, 4096);
    const auto parsedHeight = ParseNumber(separator + 1, 1, 4096);
    if (!parsedWidth || !parsedHeight || *parsedWidth % 2 != 0)
        return false;
    settings.width = static_cast<unsigned>(*parsedWidth);
    settings.height = static_cast<unsigned>(*parsedHeight);
    return true;
}

}  // namespace

std::optional<Settings> Settings::FromEnvironment()
{
    Settings settings;
    const auto milliseconds = [](unsigned long n) { return std::chrono::milliseconds(n); };
    const auto count = [](unsigned long n) { return static_cast<unsigned>(n); };
    const bool valid = ReadColour(settings) && ReadSize(settings)
        && ReadOptional("FAKE_CAMERA_FPS", 1, 1000, settings.framesPerSecond, count)
        && ReadOptional("FAKE_CAMERA_STALL_AFTER_MS", 0, INT_MAX, settings.stallAfter, milliseconds)
        && ReadOptional("FAKE_CAMERA_STALL_AFTER_FRAMES", 0, UINT_MAX, settings.stallAfterFrames, count)
        && ReadOptional("FAKE_CAMERA_VANISH_AFTER_MS", 0, INT_MAX, settings.vanishAfter, milliseconds);
    if (!valid)
        return std::nullopt;
    return settings;
}

namespace {
// Nanoseconds on the steady clock; zero until a stream starts.
std::atomic<std::chrono::steady_clock::rep> lastStreamStart{0};
}  // namespace

std::optional<std::chrono::steady_clock::time_point> LastStreamStart()
{
    const auto ticks = lastStreamStart.load();
    if (ticks == 0)
        return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

void RecordStreamStart(std::chrono::steady_clock::time_point start)
{
    lastStreamStart = start.time_since_epoch().count();
}

int OpenDescriptors(pid_t process)
{
    const std::string folder = "/proc/" + std::to_string(process) + "/fd";
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    if (!listing)
        return 0;
    int count = 0;
    while (const dirent* entry = readdir(listing.get())) {
        char target[PATH_MAX];
        const std::string link = folder + '/' + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        // The FIFO's folder, and the frames' memory, both carry the name.
        if (std::strstr(target, "fake-camera"))
            ++count;
    }
    return count;
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
