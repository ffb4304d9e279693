#include "link/capturering.h"

#include "base/capturewire.h"
#include "link/frame.h"

#include <algorithm>
#include <cstring>
#include <ctime>

static_assert(CaptureWire::maxBusBytes == Frame::longSize, "a record holds a long packet whole");

namespace {

quint32 roundedUp(quint32 bytes)
{
    quint32 size = 4096;
    while (size < bytes && size < (1u << 30))
        size <<= 1;
    return size;
}

}  // namespace

CaptureRing::CaptureRing(quint32 bytes, std::atomic<quint64> *dropped)
    : buffer(new quint8[roundedUp(bytes)]), mask(roundedUp(bytes) - 1), dropped(dropped)
{}

quint64 CaptureRing::nowUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
}

void CaptureRing::put(quint64 *at, const void *bytes, quint32 count)
{
    const quint32 offset = static_cast<quint32>(*at) & mask;
    const quint32 first = std::min(count, capacity() - offset);
    std::memcpy(buffer.get() + offset, bytes, first);
    std::memcpy(buffer.get(), static_cast<const quint8 *>(bytes) + first, count - first);
    *at += count;
}

void CaptureRing::get(quint64 at, void *bytes, quint32 count) const
{
    const quint32 offset = static_cast<quint32>(at) & mask;
    const quint32 first = std::min(count, capacity() - offset);
    std::memcpy(bytes, buffer.get() + offset, first);
    std::memcpy(static_cast<quint8 *>(bytes) + first, buffer.get(), count - first);
}

void CaptureRing::exchange(quint8 shield, const quint8 *sent, const quint8 *received, int length)
{
    using namespace CaptureWire;
    length = std::max(0, std::min(length, maxBusBytes));
    const quint32 data = static_cast<quint32>(busBytesAt + length);
    const quint32 lostRecord = unreported != 0 ? lostRecordSize : 0;
    quint64 at = head.load(std::memory_order_relaxed);
    const quint64 used = at - tail.load(std::memory_order_acquire);
    if (capacity() - used < lostRecord + 2 * (headerSize + data)) {
        unreported += 2;
        dropped->fetch_add(2, std::memory_order_relaxed);
        return;
    }

    const quint64 time = nowUs();
    if (unreported != 0) {
        quint8 lost[lostRecordSize];
        putLostRecord(lost, time, unreported);
        put(&at, lost, lostRecordSize);
        unreported = 0;
    }
    quint8 header[headerSize];
    putHeader(header, time, static_cast<quint16>(data));
    const quint8 to[busBytesAt] = {shield, toShield};
    put(&at, header, headerSize);
    put(&at, to, busBytesAt);
    put(&at, sent, static_cast<quint32>(length));
    const quint8 from[busBytesAt] = {shield, fromShield};
    put(&at, header, headerSize);
    put(&at, from, busBytesAt);
    put(&at, received, static_cast<quint32>(length));
    head.store(at, std::memory_order_release);
}

bool CaptureRing::take(QByteArray *record)
{
    const quint64 at = tail.load(std::memory_order_relaxed);
    if (head.load(std::memory_order_acquire) == at)
        return false;
    quint8 header[CaptureWire::headerSize];
    get(at, header, CaptureWire::headerSize);
    const quint32 size = CaptureWire::headerSize + CaptureWire::lengthOf(header);
    record->resize(static_cast<int>(size));
    get(at, record->data(), size);
    tail.store(at + size, std::memory_order_release);
    return true;
}

CaptureTap::CaptureTap() = default;

CaptureTap::~CaptureTap() = default;

CaptureRing *CaptureTap::open(quint32 bytes)
{
    if (!ring) {
        ring = std::make_unique<CaptureRing>(bytes, &droppedTotal);
        published.store(ring.get(), std::memory_order_seq_cst);
    }
    return ring.get();
}

bool CaptureTap::close()
{
    if (ring) {
        published.store(nullptr, std::memory_order_seq_cst);
        retired.push_back(std::move(ring));
    }
    // The transfer thread marks itself inside before it looks for the ring, and both steps are
    // sequentially consistent: when it is not inside now, any cycle that still saw a retired
    // ring has left it, and every later one sees the ring published now (or none).
    if (!retired.empty() && !inside.load(std::memory_order_seq_cst))
        retired.clear();
    return retired.empty();
}

CaptureRing *CaptureTap::enter()
{
    if (!published.load(std::memory_order_relaxed))
        return nullptr;
    inside.store(true, std::memory_order_seq_cst);
    CaptureRing *current = published.load(std::memory_order_seq_cst);
    if (!current)
        inside.store(false, std::memory_order_release);
    return current;
}

void CaptureTap::leave()
{
    inside.store(false, std::memory_order_release);
}
