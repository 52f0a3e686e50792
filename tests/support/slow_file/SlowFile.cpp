#include "support/slow_file/SlowFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace slowfile {

namespace {

struct Target {
    dev_t device = 0;
    ino_t inode = 0;
    off_t at = 0;
    std::chrono::milliseconds stall{};
    std::string mark;
};

// Set before the reads it slows; read by every read() of the process without a lock.
std::atomic<const Target*> target{nullptr};
std::atomic<int> begun{0}, ended{0};

void Stall(const Target& slow, int descriptor, std::size_t size)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || status.st_ino != slow.inode || status.st_dev != slow.device)
        return;
    const off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position < 0 || position > slow.at || slow.at >= position + off_t(size))
        return;
    ++begun;
    if (!slow.mark.empty())
        ::close(::open(slow.mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    std::this_thread::sleep_for(slow.stall);
    ++ended;
}

__attribute__((constructor)) void FromEnvironment()
{
    const char* path = std::getenv("SLOW_FILE");
    const char* at = std::getenv("SLOW_FILE_AT");
    const char* stall = std::getenv("SLOW_FILE_STALL_MS");
    if (path && at && stall)
        StallReads(path, std::atoll(at), std::chrono::milliseconds(std::atoll(stall)));
}

}  // namespace

void StallReads(const std::string& path, off_t at, std::chrono::milliseconds stall)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return;
    const char* mark = std::getenv("SLOW_FILE_MARK");
    // Never freed: a read may be looking at the one before.
    target = new Target{status.st_dev, status.st_ino, at, stall, mark ? mark : ""};
}

int StallsBegun()
{
    return begun;
}

int StallsEnded()
{
    return ended;
}

}  // namespace slowfile

// Defined in a preloaded library or in a test program, this is what every library's read()
// binds to. The system call itself, as the C library makes it, does the reading.
extern "C" ssize_t read(int descriptor, void* buffer, size_t size)
{
    if (const auto* slow = slowfile::target.load())
        slowfile::Stall(*slow, descriptor, size);
    return syscall(SYS_read, descriptor, buffer, size);
}
