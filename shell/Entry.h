#pragma once

#include <functional>

// Runs the program's start-up and event loop under its one exception guard: an Exception is
// shown through the application object, any other exception as an empty message. The result,
// the process's exit code, is 0 on every such path.
int GuardedEntry(const std::function<void()>& steps);
