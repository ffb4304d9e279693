#pragma once
// One frame queue of a link record. Filled and drained by several threads (console, supervisor,
// transfer, main); `mutex` guards `list` and `buffer` and is held for one list operation only.

#include <QByteArray>
#include <QList>
#include <QMutex>

class DataTransmission
{
public:
    DataTransmission() = default;
    DataTransmission(const DataTransmission &) = delete;
    DataTransmission &operator=(const DataTransmission &) = delete;

    // Appends a copy of a frame at the end.
    void append(const QByteArray &frame);
    // Moves the first frame into `buffer` and returns it; false (buffer untouched) when empty.
    bool take(QByteArray *frame = nullptr);
    // Empties the list; `buffer` stays.
    void clear();
    bool isEmpty();
    int size();

    QByteArray buffer;        // guarded by mutex: the frame most recently taken
    QList<QByteArray> list;   // guarded by mutex: queued frames, oldest first
    QMutex mutex;
};
