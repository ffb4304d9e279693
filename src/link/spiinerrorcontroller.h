#pragma once
// Recognises an event frame that repeats the shield's previous one (same start byte). Used by
// the transfer thread under the link mutex, and by the supervisor's reset under the same mutex.

#include <QtGlobal>

#include <atomic>

class SpiInErrorController
{
public:
    SpiInErrorController() { to_null(); }

    void to_null()
    {
        last_event_byte = 0;
        repeat_count = 0;
    }
    // True when startByte equals the previous event's; a new start byte is remembered.
    bool isRepeat(quint8 startByte);
    // The same question, changing nothing: for an event that may not be taken yet.
    bool repeats(quint8 startByte) const { return startByte == last_event_byte; }

    // Repeated events since the last report, saturating; read and cleared by the report.
    std::atomic<quint8> repeat_count{0};

private:
    quint8 last_event_byte = 0;
};
