#include "shell/Entry.h"

#include "forms/Exception.h"

int GuardedEntry(const std::function<void()>& steps)
{
    try {
        steps();
    } catch (...) {
        forms::HandleException();  // as an event handler's exception is shown
    }
    return 0;
}
