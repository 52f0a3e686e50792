#pragma once

#include <QEvent>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The tools every measurement uses: a clock, statistics, the "video" window's painting, the
// delay of events given to the GUI thread, and the process's memory.

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start);
double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);

// Counts the paints of the picture in "video", a window made before or after it starts, and
// notes when the first came.
class PaintCounter : public QObject {
public:
    PaintCounter();
    ~PaintCounter() override;

    int paints = 0;
    Clock::time_point firstPaint{};

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Posts an event to the GUI thread every 5 ms from a thread of its own, as input arrives, and
// notes how long each waited before the GUI thread handled it.
class InputDelays : public QObject {
public:
    InputDelays();
    ~InputDelays() override;

    // Stops posting and returns the delays, in ms, of the events handled so far.
    std::vector<double> Stop();

protected:
    bool event(QEvent* event) override;

private:
    struct State;
    std::unique_ptr<State> state_;  // shared with the posting thread
};

// The memory of the process and of the readers it started, each counting its share of what
// they share (the readers are forked from one starter), in MiB.
double ResidentMiB();

// The peak of the same from now on, sampled every 5 ms while events are serviced (a reader
// ends with its command).
class PeakMemory {
public:
    PeakMemory();
    double MiB() const;

private:
    QTimer sampling_;
    double peak_;
};
