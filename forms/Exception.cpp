#include "forms/Exception.h"

namespace forms {

Exception::Exception(const QString& message)
    : Message(message)
    , utf8_(message.toUtf8())
{
}

const char* Exception::what() const noexcept
{
    return utf8_.constData();
}

}  // namespace forms
