#pragma once

#include <QTimer>

#include <functional>

// Runs an action the first time events are serviced, which during a command is its first
// frame, and never after the scope that set it up has ended.
class DuringPlayback {
public:
    explicit DuringPlayback(std::function<void()> action)
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(action));
        timer_.start(0);
    }

private:
    QTimer timer_;
};
