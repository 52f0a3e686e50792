#include "forms/Exception.h"

#include <cstdio>

namespace forms {

namespace {

void WriteToStandardError(const Exception& E)
{
    std::fprintf(stderr, "%s\n", E.what());
}

ExceptionShower shower = WriteToStandardError;

}  // namespace

Exception::Exception(const QString& message)
    : Message(message)
    , utf8_(message.toUtf8())
{
}

const char* Exception::what() const noexcept
{
    return utf8_.constData();
}

void InstallExceptionShower(ExceptionShower show)
{
    shower = show ? show : WriteToStandardError;
}

void HandleException()
{
    try {
        throw;
    } catch (const Exception& E) {
        shower(E);
    } catch (...) {
        shower(Exception(QString()));
    }
}

}  // namespace forms
