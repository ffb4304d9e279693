#pragma once
// One frame queue of a link record. Filled and drained by several threads (console, supervisor,
// transfer, main); `mutex` guards `list` and `buffer` and is held for one list operation only,
// with no other lock taken inside it.

#include <QByteArray>
#include <QList>

#include "base/pimutex.h"

#include <mutex>

class DataTransmission
{
public:
    DataTransmission() = default;
    DataTransmission(const DataTransmission &) = delete;
    DataTransmission &operator=(const DataTransmission &) = delete;

    // Appends a copy of a frame at the end.
    void append(const QByteArray &frame);
    // Moves the first frame into `buffer` and, when frame is given, copies it there; false, with
    // `buffer` untouched, when the queue is empty.
    bool take(QByteArray *frame = nullptr);
    // As take(), but the first frame stays queued, and false is returned, when `wait(frame)`
    // holds for it.
    template <typename Wait>
    bool takeUnless(QByteArray *frame, Wait wait);
    // Empties the list; `buffer` stays.
    void clear();
    bool isEmpty();
    int size();

    QByteArray buffer;       // guarded by mutex: the frame most recently taken
    QList<QByteArray> list;  // guarded by mutex: queued frames, oldest first
    // Priority-inheriting: the real-time transfer thread shares it with the console reader and
    // the UDP readers at normal priority. A pthread mutex, not QMutex: ThreadSanitizer cannot
    // follow a contended QMutex hand-over inside the uninstrumented Qt 5 library and would report
    // races that are not there.
    PiMutex mutex;
};

template <typename Wait>
bool DataTransmission::takeUnless(QByteArray *frame, Wait wait)
{
    std::lock_guard<PiMutex> lock(mutex);
    if (list.isEmpty() || wait(static_cast<const QByteArray &>(list.first())))
        return false;
    buffer = list.takeFirst();
    if (frame)
        *frame = buffer;
    return true;
}
