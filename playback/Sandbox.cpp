#include "playback/Sandbox.h"

#include <seccomp.h>

#include <linux/landlock.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <initializer_list>

namespace {

// Landlock's rights and flags by the ABI version that brought them (the kernel's own values;
// Debian 12's headers know only the first).
constexpr std::uint64_t everyFsRightOf1 = (1ULL << 13) - 1;
constexpr std::uint64_t refer = 1ULL << 13;     // ABI 2
constexpr std::uint64_t truncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t ioctlDevice = 1ULL << 15;  // ABI 5
constexpr std::uint64_t tcpBind = 1ULL << 0, tcpConnect = 1ULL << 1;  // ABI 4
constexpr std::uint64_t abstractSockets = 1ULL << 0, signals = 1ULL << 1;  // ABI 6, scoped

// The ruleset's attributes as the kernel has them now; it takes the part an older one knows.
struct RulesetAttributes {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;  // ABI 4
    std::uint64_t scoped;            // ABI 6
};

// What any reader may read: the libraries that may still be loaded and their data, and what
// the C library and the thread pool ask of the system (how many processors are online).
constexpr std::initializer_list<const char*> systemFolders{"/usr", "/lib", "/lib64", "/etc", "/proc/self",
                                                           "/sys/devices/system/cpu"};

void Allow(int ruleset, int descriptor, std::uint64_t rights)
{
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights;
    rule.parent_fd = descriptor;
    syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
}

void AllowPath(int ruleset, const char* path, std::uint64_t rights)
{
    const int descriptor = ::openat(AT_FDCWD, path, O_PATH | O_CLOEXEC);
    if (descriptor < 0)
        return;  // not on this system
    Allow(ruleset, descriptor, rights);
    ::close(descriptor);
}

void RestrictFilesystem(const SourceAccess& access)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return;  // a kernel without Landlock, or with it switched off
    RulesetAttributes attributes{everyFsRightOf1 | (abi >= 2 ? refer : 0) | (abi >= 3 ? truncate : 0)
                                     | (abi >= 5 ? ioctlDevice : 0),
                                 abi >= 4 ? tcpBind | tcpConnect : 0, abi >= 6 ? abstractSockets | signals : 0};
    const std::size_t size = abi >= 6 ? sizeof attributes : abi >= 4 ? 2 * sizeof(std::uint64_t) : sizeof(std::uint64_t);
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0)
        return;
    for (const char* folder : systemFolders)
        AllowPath(ruleset, folder, LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR);
    if (access.heldFile >= 0)
        Allow(ruleset, access.heldFile, LANDLOCK_ACCESS_FS_READ_FILE);
    if (!access.cameraDevice.empty())
        AllowPath(ruleset, access.cameraDevice.c_str(),
                  LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | (abi >= 5 ? ioctlDevice : 0));
    syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(ruleset);
}

// The system calls reading and decoding make, besides those with their own rule below.
constexpr std::initializer_list<const char*> allowedCalls{
    // descriptors already open, and memory
    "read", "readv", "pread64", "preadv", "preadv2", "write", "writev", "pwrite64", "lseek", "close", "close_range",
    "dup", "dup2", "dup3", "fcntl", "fstat", "newfstatat", "statx", "fstatfs", "statfs", "fadvise64", "ftruncate",
    "getdents64", "readlink", "readlinkat", "access", "faccessat", "faccessat2", "getcwd", "memfd_create", "pipe2",
    "eventfd2", "mmap", "munmap", "mremap", "mprotect", "madvise", "brk", "membarrier",
    // waiting and time
    "poll", "ppoll", "select", "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "futex",
    "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday", "time", "sched_yield",
    "restart_syscall",
    // the socket to the windows' process
    "sendmsg", "recvmsg", "sendto", "recvfrom", "shutdown", "getsockopt",
    // threads and the process itself
    "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "arch_prctl", "prctl", "sched_getaffinity",
    "sched_getparam", "sched_getscheduler", "sched_get_priority_min", "sched_get_priority_max", "getpid", "gettid",
    "getppid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid", "uname", "sysinfo", "getrlimit",
    "getrusage", "times", "getrandom", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "exit",
    "exit_group",
#if defined(__SANITIZE_ADDRESS__)
    // the leak checker stops the process's threads by tracing them from a process of its own
    "ptrace", "wait4", "clone", "process_vm_readv", "getdents",
#endif
};

void Rule(scmp_filter_ctx filter, std::uint32_t action, const char* call, std::initializer_list<scmp_arg_cmp> arguments)
{
    const int number = seccomp_syscall_resolve_name(call);
    if (number != __NR_SCMP_ERROR)
        seccomp_rule_add_array(filter, action, number, unsigned(arguments.size()), arguments.begin());
}

void RestrictCalls(bool camera)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return;
    // Threads of every thread that exists, though there should be none but this one.
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    for (const char* call : allowedCalls)
        Rule(filter, SCMP_ACT_ALLOW, call, {});
    // Threads, but no processes; the C library starts threads with clone when clone3 is missing.
    Rule(filter, SCMP_ACT_ALLOW, "clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    Rule(filter, SCMP_ACT_ERRNO(ENOSYS), "clone3", {});
    // Files opened to be read; a camera's node to be read and written. Never created or cut.
    constexpr scmp_datum_t modeAndCreation = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
    for (const std::uint32_t mode : {std::uint32_t(O_RDONLY), std::uint32_t(camera ? O_RDWR : O_RDONLY)}) {
        Rule(filter, SCMP_ACT_ALLOW, "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, modeAndCreation, mode)});
        Rule(filter, SCMP_ACT_ALLOW, "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, modeAndCreation, mode)});
    }
    // Video devices' own requests (V4L2's type 'V'), and none of a terminal's.
    Rule(filter, SCMP_ACT_ALLOW, "ioctl", {SCMP_A1(SCMP_CMP_MASKED_EQ, 0xff00, 'V' << 8)});
    // Signals to itself only (raise, abort, a thread pool's wake-ups).
    const scmp_datum_t self = scmp_datum_t(getpid());
    Rule(filter, SCMP_ACT_ALLOW, "kill", {SCMP_A0(SCMP_CMP_EQ, self)});
    Rule(filter, SCMP_ACT_ALLOW, "tgkill", {SCMP_A0(SCMP_CMP_EQ, self)});
    // Limits read, never raised.
    Rule(filter, SCMP_ACT_ALLOW, "prlimit64", {SCMP_A2(SCMP_CMP_EQ, 0)});
    seccomp_load(filter);
    seccomp_release(filter);
}

void LimitResources()
{
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer reserves terabytes of address space
    // Half the machine's memory, and 4 GiB at most: several times what decoding and showing an
    // 8K stream takes.
    constexpr rlim_t most = rlim_t(4) << 30;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const rlim_t half = pages > 0 && pageSize > 0 ? rlim_t(pages) * rlim_t(pageSize) / 2 : most;
    const rlimit memory{std::min(most, half), std::min(most, half)};
    setrlimit(RLIMIT_AS, &memory);
#endif
}

}  // namespace

void EnterSandbox(const SourceAccess& access)
{
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    LimitResources();
    RestrictFilesystem(access);
    RestrictCalls(!access.cameraDevice.empty());
}
