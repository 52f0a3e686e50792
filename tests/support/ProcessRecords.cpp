#include "support/ProcessRecords.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace processrecords {

namespace {

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;

Listing List(const std::string& folder)
{
    return Listing(opendir(folder.c_str()), closedir);
}

// What each descriptor of the process names.
std::map<std::string, std::string> Named(pid_t process)
{
    std::map<std::string, std::string> named;
    const std::string folder = "/proc/" + std::to_string(process) + "/fd";
    const Listing listing = List(folder);
    while (const dirent* entry = listing ? readdir(listing.get()) : nullptr) {
        char target[PATH_MAX];
        const std::string link = folder + '/' + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0)
            named[link] = std::string(target, std::size_t(length));
    }
    return named;
}

}  // namespace

std::vector<pid_t> Tree(pid_t root)
{
    // Parents from /proc/PID/stat: "PID (NAME) STATE PARENT ...", the name in parentheses as
    // the program chose it.
    std::multimap<pid_t, pid_t> children;
    const Listing listing = List("/proc");
    while (const dirent* entry = listing ? readdir(listing.get()) : nullptr) {
        const pid_t process = pid_t(std::atoi(entry->d_name));
        if (process <= 0)
            continue;
        std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t name = line.rfind(')');
        if (name == std::string::npos)
            continue;
        std::istringstream rest(line.substr(name + 1));
        std::string state;
        pid_t parent = 0;
        if (rest >> state >> parent)
            children.emplace(parent, process);
    }
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const auto [first, last] = children.equal_range(tree[i]);
        for (auto child = first; child != last; ++child)
            tree.push_back(child->second);
    }
    return tree;
}

int Descriptors(pid_t root, const char* text)
{
    int count = 0;
    for (const pid_t process : Tree(root))
        for (const auto& [link, target] : Named(process))
            count += target.find(text) != std::string::npos ? 1 : 0;
    return count;
}

void* Own(const char* name, std::size_t size)
{
    // Never unmapped: a fake may record from its threads while the process's statics go.
    static std::mutex lock;
    static std::map<std::string, void*>* const owned = new std::map<std::string, void*>;
    std::lock_guard<std::mutex> guard(lock);
    void*& memory = (*owned)[name];
    if (!memory) {
        const int descriptor = memfd_create(name, MFD_CLOEXEC);
        void* mapped = descriptor >= 0 && ftruncate(descriptor, off_t(size)) == 0
            ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0)
            : MAP_FAILED;
        // Without a descriptor to share, the records are this process's alone.
        memory = mapped != MAP_FAILED ? mapped : std::calloc(1, size);
    }
    return memory;
}

std::vector<std::string> Read(pid_t root, const char* name, std::size_t size)
{
    std::vector<std::string> all;
    const std::string target = std::string("/memfd:") + name + " (deleted)";
    for (const pid_t process : Tree(root))
        for (const auto& [link, named] : Named(process)) {
            if (named != target)
                continue;
            const int descriptor = open(link.c_str(), O_RDONLY | O_CLOEXEC);
            std::string bytes(size, '\0');
            if (descriptor >= 0 && pread(descriptor, bytes.data(), size, 0) == ssize_t(size))
                all.push_back(bytes);
            if (descriptor >= 0)
                close(descriptor);
        }
    return all;
}

}  // namespace processrecords
