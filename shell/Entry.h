#pragma once

#include <functional>

// Runs the program's start-up and event loop under its one exception guard, which shows what
// escapes as forms::HandleException does: an Exception through the application object, any
// other exception as an empty message. The result, the process's exit code, is 0 on every path.
int GuardedEntry(const std::function<void()>& steps);
