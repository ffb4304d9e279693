#include "link/datatransmission.h"

void DataTransmission::append(const QByteArray &frame)
{
    std::lock_guard<PiMutex> lock(mutex);
    list.append(frame);
}

bool DataTransmission::take(QByteArray *frame)
{
    return takeUnless(frame, [](const QByteArray &) { return false; });
}

void DataTransmission::clear()
{
    std::lock_guard<PiMutex> lock(mutex);
    list.clear();
}

bool DataTransmission::isEmpty()
{
    std::lock_guard<PiMutex> lock(mutex);
    return list.isEmpty();
}

int DataTransmission::size()
{
    std::lock_guard<PiMutex> lock(mutex);
    return list.size();
}
