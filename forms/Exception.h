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

}  // namespace forms
