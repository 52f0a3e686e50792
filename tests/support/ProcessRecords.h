#pragma once

#include <sys/types.h>

#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

// What the test fakes record, readable by a test program however far down its processes the
// fake ran (the player reads frames in processes of its own, which nothing may write a file
// from): each process keeps its records in memory of its own that /proc shows among its
// descriptors as "/memfd:NAME", and the test reads them from there while the process lives.
namespace processrecords {

// This process and every process it started, and they started, that are still there (ended
// ones not yet reaped too).
std::vector<pid_t> Tree(pid_t root);

// How many descriptors of the processes of root's tree name something with text in it.
int Descriptors(pid_t root, const char* text);

// This process's memory of name, size bytes of zeros at first; kept for the process's life.
void* Own(const char* name, std::size_t size);
// Copies, read now, of the memory of name of every process of root's tree that has it.
std::vector<std::string> Read(pid_t root, const char* name, std::size_t size);

template <typename Records>
Records& Own(const char* name)
{
    static_assert(std::is_trivially_copyable_v<Records>);
    return *static_cast<Records*>(Own(name, sizeof(Records)));
}

template <typename Records>
std::vector<Records> Read(pid_t root, const char* name)
{
    std::vector<Records> all;
    for (const std::string& bytes : Read(root, name, sizeof(Records))) {
        Records records;
        std::memcpy(&records, bytes.data(), sizeof records);
        all.push_back(records);
    }
    return all;
}

}  // namespace processrecords
