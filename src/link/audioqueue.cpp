#include "link/audioqueue.h"

#include "link/linkcounters.h"

int AudioQueue::push(const QByteArray &packet)
{
    std::lock_guard<PiMutex> lock(mutex);
    list.append(packet);
    const int over = jitter.arrived(list.size());
    dropOldest(over);
    showDelay();
    return over;
}

bool AudioQueue::takeCycle(QByteArray *packet)
{
    std::lock_guard<PiMutex> lock(mutex);
    dropOldest(jitter.cycle(list.size()));
    if (list.isEmpty()) {
        LinkCounters::add(counters->audio_underruns);
        return false;
    }
    buffer = list.takeFirst();
    if (packet)
        *packet = buffer;
    showDelay();
    return true;
}

void AudioQueue::endCall()
{
    std::lock_guard<PiMutex> lock(mutex);
    list.clear();
    jitter.reset();
    showDelay();
}

void AudioQueue::dropOldest(int n)
{
    if (n <= 0)
        return;
    for (int i = 0; i < n && !list.isEmpty(); ++i)
        list.removeFirst();
    gone.fetch_add(static_cast<quint64>(n), std::memory_order_relaxed);
    LinkCounters::add(counters->audio_dropped, static_cast<quint64>(n));
}

void AudioQueue::showDelay()
{
    counters->audio_delay_ms.store(static_cast<quint32>(list.size() * JitterBuffer::blockMs),
                                   std::memory_order_relaxed);
}
