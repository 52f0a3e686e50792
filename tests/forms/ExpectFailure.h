#pragma once

#include "forms/Exception.h"

#include <gtest/gtest.h>

#include <functional>

// Expects the action to throw an Exception that names the line and contains the text.
inline void ExpectFailureAt(const std::function<void()>& action, int line, const char* text)
{
    try {
        action();
        ADD_FAILURE() << "accepted";
    } catch (const forms::Exception& error) {
        EXPECT_TRUE(error.Message.startsWith(QStringLiteral("line %1: ").arg(line))) << error.what();
        EXPECT_TRUE(error.Message.contains(QString::fromUtf8(text))) << error.what();
    }
}
