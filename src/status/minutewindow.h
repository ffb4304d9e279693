#pragma once
// What a counter that only grows gained in the last minute. The owner hands it the counter once a
// second; it keeps a minute of those samples, and the figure is the counter now less the sample
// of a minute ago. While the driver is younger than a minute, the whole run is the last minute
// (the counters started at 0). Main thread only.

#include <QtGlobal>

#include <array>

class MinuteWindow
{
public:
    static constexpr int samplesPerMinute = 60;
    static constexpr int sampleMs = 1000;

    void sample(quint64 value)
    {
        ring[static_cast<size_t>(next)] = value;
        next = (next + 1) % samplesPerMinute;
        if (taken < samplesPerMinute)
            ++taken;
    }
    quint64 lastMinute(quint64 now) const
    {
        if (taken < samplesPerMinute)
            return now;
        const quint64 then = ring[static_cast<size_t>(next)];  // the oldest
        return now >= then ? now - then : 0;
    }

private:
    std::array<quint64, samplesPerMinute> ring{};
    int next = 0;
    int taken = 0;
};
