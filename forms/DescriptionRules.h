#pragma once

#include "forms/Exception.h"

#include <QString>

// Two rules of the form-description language, shared by its parser (FormDescription.cpp) and
// its reader (FormReader.cpp); not for use outside forms/.

namespace forms {

// Keywords, property names, class names and values compare without case.
inline bool SameName(const QString& name, const char* expected)
{
    return name.compare(QLatin1String(expected), Qt::CaseInsensitive) == 0;
}

// Every fault names the line it concerns: "line 3: expected '='".
[[noreturn]] inline void FailAtLine(int line, const QString& what)
{
    throw Exception(QStringLiteral("line %1: %2").arg(line).arg(what));
}

}  // namespace forms
