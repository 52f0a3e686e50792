#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace forms {

// The exception the application shows to the user: it carries the message to show.
class Exception : public std::exception {
public:
    explicit Exception(const QString& message);

    const char* what() const noexcept override;

    QString Message;

private:
    QByteArray utf8_;  // what() must outlive the call
};

// How the application shows an exception to the user; it installs its own once Qt runs, and
// null restores the default, which writes the message to standard error.
using ExceptionShower = void (*)(const Exception& E);
void InstallExceptionShower(ExceptionShower show);

// From inside a catch block of an event handler's caller: shows the exception being handled,
// an Exception with its message and anything else as an Exception with the empty message.
// Components call this rather than the application, which sits above them.
void HandleException();

}  // namespace forms
