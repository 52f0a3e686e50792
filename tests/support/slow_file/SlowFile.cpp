#include "support/slow_file/SlowFile.h"

#include "support/ProcessRecords.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

namespace slowfile {

namespace {

struct Target {
    std::string path, at, stall;  // as the environment gave them
    dev_t device = 0;
    ino_t inode = 0;
};

// Memory of this name is open while a stall lasts: /proc shows it (ProcessRecords.h).
constexpr const char* stallName = "slow-file-stall";

// The file to stall, from the environment as it is now: a reader process is given its
// environment after it has started. Kept for as long as the environment says the same.
bool Current(Target& target)
{
    static std::mutex lock;
    static Target* const current = new Target;  // never freed: reads may come from any thread
    const char* path = std::getenv("SLOW_FILE");
    const char* at = std::getenv("SLOW_FILE_AT");
    const char* stall = std::getenv("SLOW_FILE_STALL_MS");
    if (!path || !at || !stall)
        return false;
    std::lock_guard<std::mutex> guard(lock);
    if (current->path != path || current->at != at || current->stall != stall) {
        struct stat status {};
        if (stat(path, &status) != 0)
            return false;
        *current = Target{path, at, stall, status.st_dev, status.st_ino};
    }
    target = *current;
    return true;
}

void Stall(int descriptor, std::size_t size)
{
    Target slow;
    struct stat status {};
    if (!Current(slow) || fstat(descriptor, &status) != 0 || status.st_ino != slow.inode
        || status.st_dev != slow.device)
        return;
    const off_t at = std::atoll(slow.at.c_str());
    const off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position < 0 || position > at || at >= position + off_t(size))
        return;
    const int stalling = memfd_create(stallName, MFD_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(slow.stall.c_str())));
    if (stalling != -1)
        close(stalling);
}

}  // namespace

void StallReads(const std::string& path, off_t at, std::chrono::milliseconds stall)
{
    setenv("SLOW_FILE", path.c_str(), 1);
    setenv("SLOW_FILE_AT", std::to_string(at).c_str(), 1);
    setenv("SLOW_FILE_STALL_MS", std::to_string(stall.count()).c_str(), 1);
}

bool Stalling()
{
    return processrecords::Descriptors(getpid(), stallName) > 0;
}

}  // namespace slowfile

// Defined in a preloaded library or in a test program, this is what every library's read()
// binds to. The system call itself, as the C library makes it, does the reading.
extern "C" ssize_t read(int descriptor, void* buffer, size_t size)
{
    slowfile::Stall(descriptor, size);
    return syscall(SYS_read, descriptor, buffer, size);
}
