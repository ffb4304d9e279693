#include "link/datatransmission.h"

void DataTransmission::append(const QByteArray &frame)
{
    QMutexLocker lock(&mutex);
    list.append(frame);
}

bool DataTransmission::take(QByteArray *frame)
{
    QMutexLocker lock(&mutex);
    if (list.isEmpty())
        return false;
    buffer = list.takeFirst();
    if (frame)
        *frame = buffer;
    return true;
}

void DataTransmission::clear()
{
    QMutexLocker lock(&mutex);
    list.clear();
}

bool DataTransmission::isEmpty()
{
    QMutexLocker lock(&mutex);
    return list.isEmpty();
}

int DataTransmission::size()
{
    QMutexLocker lock(&mutex);
    return list.size();
}
