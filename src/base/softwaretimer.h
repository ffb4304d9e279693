#pragma once
// A timer counted in ticks of the periodic loop that owns it. Used by one thread only; no lock,
// no allocation.

#include <QtGlobal>

class SoftwareTimer
{
public:
    SoftwareTimer() = default;
    virtual ~SoftwareTimer() = default;

    // Fires every `ticks` ticks from now; 0 stops the timer.
    void start(quint32 newTicks)
    {
        ticks = newTicks;
        count = 0;
    }
    void stop()
    {
        ticks = 0;
        count = 0;
    }
    void setOnePulse(bool value) { onePulse = value; }
    // One step; true when the timer fired on this step.
    bool tick();
    // Called when the timer fires; the base does nothing.
    virtual void handler() {}

    bool isRunning() const { return ticks != 0; }
    quint32 getCount() const { return count; }

private:
    bool onePulse = false;
    quint32 ticks = 0;
    quint32 count = 0;
};
