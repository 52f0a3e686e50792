#include "shell/Entry.h"

#include "forms/Exception.h"
#include "forms/TApplication.h"

int GuardedEntry(const std::function<void()>& steps)
{
    using forms::Application;
    using forms::Exception;
    try {
        steps();
    } catch (const Exception& E) {
        Application->ShowException(E);
        return 0;
    } catch (...) {
        try {
            throw Exception(QString());
        } catch (const Exception& E) {
            Application->ShowException(E);
        }
        return 0;
    }
    return 0;
}
