// The C library functions through which a program reaches a V4L2 device, replaced: the path
// of the fake camera opens a FakeDevice, and the device's descriptor is served by it. Every
// other path and descriptor goes straight to the C library's own function.
//
// Defined in a preloaded library, or in a test program (whose symbols come before every
// library's, the sanitizer runtime's included), these are what OpenCV's calls bind to.
#include "support/fake_camera/FakeDevice.h"
#include "support/fake_camera/RealCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace fakecamera {

namespace {

// The next definition of a function, after this one: the C library's (or the sanitizer
// runtime's, which calls the C library's). Found when this code is loaded, before the program
// has threads: found lazily under a static's guard instead, one thread could hold the guard
// while dlsym() waits for the loader's lock, which another thread holds inside dlopen() while
// a library it loads calls open() or mmap() and waits for the guard.
template <typename Function>
class NextFunction {
public:
    explicit constexpr NextFunction(const char* name)
        : name_(name)
    {
    }

    Function* Get()
    {
        Function* function = function_.load(std::memory_order_acquire);
        if (!function) {  // called before this code's constructor ran: no threads yet either
            function = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name_));
            function_.store(function, std::memory_order_release);
        }
        return function;
    }

private:
    const char* name_;
    std::atomic<Function*> function_{nullptr};
};

NextFunction<int(const char*, int, ...)> nextOpen("open");
NextFunction<int(int)> nextClose("close");
NextFunction<void*(void*, std::size_t, int, int, int, off_t)> nextMap("mmap");
NextFunction<int(int, unsigned long, ...)> nextControl("ioctl");

// The open devices by descriptor. Never destroyed: a program may close its camera from its
// own static destructors, after this file's would have run.
class Devices {
public:
    static Devices& Instance()
    {
        static Devices* const devices = new Devices;
        return *devices;
    }

    void Add(std::unique_ptr<FakeDevice> device)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        owner_ = getpid();
        const int descriptor = device->ProgramDescriptor();
        byDescriptor_[descriptor] = std::move(device);
        count_ = byDescriptor_.size();
    }

    // Null for a descriptor that is not a fake camera's. The device lives until closed; a
    // program that closes a descriptor while using it on another thread is broken anyway.
    FakeDevice* Find(int descriptor)
    {
        if (count_ == 0 || getpid() != owner_)
            return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = byDescriptor_.find(descriptor);
        return found == byDescriptor_.end() ? nullptr : found->second.get();
    }

    std::unique_ptr<FakeDevice> Remove(int descriptor)
    {
        if (count_ == 0 || getpid() != owner_)
            return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = byDescriptor_.find(descriptor);
        if (found == byDescriptor_.end())
            return nullptr;
        std::unique_ptr<FakeDevice> device = std::move(found->second);
        byDescriptor_.erase(found);
        count_ = byDescriptor_.size();
        return device;
    }

private:
    std::mutex mutex_;
    std::map<int, std::unique_ptr<FakeDevice>> byDescriptor_;
    // Read without the lock, so that the descriptors of every other file (and a child process
    // that forked while another thread held the lock) never wait for it.
    std::atomic<std::size_t> count_{0};
    // A child forked while a camera is open (a library's helper process, which closes every
    // descriptor it inherited before it runs its program) holds copies of the descriptors
    // only: the devices, their clock threads included, are the process's that opened them.
    std::atomic<pid_t> owner_{0};
};

int OpenAny(const char* path, int flags, mode_t mode)
{
    if (!path || std::strcmp(path, devicePath) != 0)
        return real::Open(path, flags, mode);
    const std::optional<Settings> settings = Settings::FromEnvironment();
    if (!settings) {
        errno = EINVAL;
        return -1;
    }
    std::unique_ptr<FakeDevice> device = FakeDevice::Open(*settings, flags);
    if (!device)
        return -1;
    const int descriptor = device->ProgramDescriptor();
    Devices::Instance().Add(std::move(device));
    return descriptor;
}

mode_t ModeArgument(int flags, va_list arguments)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t) : 0;
}

void* MapAny(void* address, std::size_t length, int protection, int flags, int descriptor, off_t offset)
{
    if (FakeDevice* device = Devices::Instance().Find(descriptor))
        return device->Map(address, length, protection, flags, offset);
    return real::Map(address, length, protection, flags, descriptor, offset);
}

}  // namespace

namespace real {

int Open(const char* path, int flags, mode_t mode)
{
    return nextOpen.Get()(path, flags, mode);
}

int Close(int descriptor)
{
    return nextClose.Get()(descriptor);
}

void* Map(void* address, std::size_t length, int protection, int flags, int descriptor, off_t offset)
{
    return nextMap.Get()(address, length, protection, flags, descriptor, offset);
}

}  // namespace real

namespace {

__attribute__((constructor)) void FindEverythingBeforeThreadsStart()
{
    nextOpen.Get();
    nextClose.Get();
    nextMap.Get();
    nextControl.Get();
    Devices::Instance();
}

}  // namespace

}  // namespace fakecamera

using fakecamera::Devices;

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = fakecamera::ModeArgument(flags, arguments);
    va_end(arguments);
    return fakecamera::OpenAny(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = fakecamera::ModeArgument(flags, arguments);
    va_end(arguments);
    return fakecamera::OpenAny(path, flags | O_LARGEFILE, mode);
}

int ioctl(int descriptor, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    if (fakecamera::FakeDevice* device = Devices::Instance().Find(descriptor))
        return device->Control(request, argument);
    return fakecamera::nextControl.Get()(descriptor, request, argument);
}

void* mmap(void* address, size_t length, int protection, int flags, int descriptor, off_t offset) noexcept
{
    return fakecamera::MapAny(address, length, protection, flags, descriptor, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int descriptor, off64_t offset) noexcept
{
    return fakecamera::MapAny(address, length, protection, flags, descriptor, offset);
}

int close(int descriptor)
{
    // The device goes first (its clock stopped, its own descriptors closed), then the
    // program's descriptor, so the number is never reused while the device still answers it.
    Devices::Instance().Remove(descriptor).reset();
    return fakecamera::real::Close(descriptor);
}

}  // extern "C"
