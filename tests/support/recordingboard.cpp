#include "support/recordingboard.h"

#include <chrono>
#include <cstring>
#include <thread>

void RecordingBoard::queueReply(const QByteArray &reply)
{
    std::lock_guard<std::mutex> lock(mutex);
    replies << reply;
}

void RecordingBoard::setReplyHandler(ReplyHandler newHandler)
{
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(newHandler);
}

void RecordingBoard::setRealDelays(bool sleep)
{
    std::lock_guard<std::mutex> lock(mutex);
    realDelays = sleep;
}

QList<RecordingBoard::Event> RecordingBoard::events() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

QList<RecordingBoard::PinWrite> RecordingBoard::writes() const
{
    QList<PinWrite> result;
    for (const Event &e : events()) {
        if (e.kind == Kind::Write)
            result << PinWrite{e.pin, e.level};
    }
    return result;
}

QList<quint8> RecordingBoard::pinModes() const
{
    QList<quint8> result;
    for (const Event &e : events()) {
        if (e.kind == Kind::PinMode)
            result << e.pin;
    }
    return result;
}

QList<QByteArray> RecordingBoard::transfers() const
{
    QList<QByteArray> result;
    for (const Event &e : events()) {
        if (e.kind == Kind::Transfer)
            result << e.bytes;
    }
    return result;
}

QList<quint32> RecordingBoard::delaysMs() const
{
    QList<quint32> result;
    for (const Event &e : events()) {
        if (e.kind == Kind::DelayMs)
            result << e.amount;
    }
    return result;
}

int RecordingBoard::count(Kind kind) const
{
    int n = 0;
    for (const Event &e : events()) {
        if (e.kind == kind)
            ++n;
    }
    return n;
}

int RecordingBoard::level(quint8 pin) const
{
    int last = -1;
    for (const Event &e : events()) {
        if (e.kind == Kind::Write && e.pin == pin)
            last = e.level;
    }
    return last;
}

QStringList RecordingBoard::log() const
{
    QStringList lines;
    for (const Event &e : events()) {
        switch (e.kind) {
        case Kind::LibInit:
            lines << QStringLiteral("lib_init");
            break;
        case Kind::SpiInit:
            lines << QStringLiteral("spi_init");
            break;
        case Kind::Spi1Init:
            lines << QStringLiteral("spi1_init");
            break;
        case Kind::PinMode:
            lines << QStringLiteral("mode %1").arg(e.pin);
            break;
        case Kind::Write:
            lines << QStringLiteral("write %1=%2").arg(e.pin).arg(e.level);
            break;
        case Kind::Transfer:
        case Kind::Transfer1: {
            QString line =
                e.kind == Kind::Transfer ? QStringLiteral("spi") : QStringLiteral("spi1");
            if (!e.bytes.isEmpty())
                line += QLatin1Char(' ') + QString::fromLatin1(e.bytes.toHex(' '));
            lines << line;
            break;
        }
        case Kind::DelayMs:
            lines << QStringLiteral("delay_ms %1").arg(e.amount);
            break;
        case Kind::DelayUs:
            lines << QStringLiteral("delay_us %1").arg(e.amount);
            break;
        }
    }
    return lines;
}

void RecordingBoard::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    recorded.clear();
}

bool RecordingBoard::waitForTransfers(int transfers, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (const Event &e : recorded) {
            if (e.kind == Kind::Transfer)
                ++n;
        }
        return n >= transfers;
    });
}

void RecordingBoard::lib_init()
{
    record({Kind::LibInit});
}

void RecordingBoard::spi_init()
{
    record({Kind::SpiInit});
}

void RecordingBoard::spi1_init()
{
    record({Kind::Spi1Init});
}

void RecordingBoard::spi_transfer(quint8 *buffer, quint8 *received, quint16 length)
{
    const QByteArray sent(reinterpret_cast<const char *>(buffer), length);
    QByteArray answer;
    ReplyHandler answerer;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!replies.isEmpty())
            answer = replies.takeFirst();
        else
            answerer = handler;
    }
    // The handler runs unlocked: it may well look at the board itself.
    if (answerer)
        answer = answerer(sent);
    answer = answer.left(length);
    answer.append(QByteArray(length - answer.size(), '\0'));
    if (length > 0) {
        std::memcpy(buffer, answer.constData(), length);
        std::memcpy(received, answer.constData(), length);
    }
    Event e{Kind::Transfer};
    e.bytes = sent;
    record(e);
}

void RecordingBoard::spi1_transfer(quint8 *buffer, quint8 *received, quint16 length)
{
    Q_UNUSED(received)
    Event e{Kind::Transfer1};
    e.bytes = QByteArray(reinterpret_cast<const char *>(buffer), length);
    record(e);
}

void RecordingBoard::delay_ms(quint32 ms)
{
    Event e{Kind::DelayMs};
    e.amount = ms;
    record(e);
    bool sleep;
    {
        std::lock_guard<std::mutex> lock(mutex);
        sleep = realDelays;
    }
    if (sleep)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void RecordingBoard::delay_us(quint32 us)
{
    Event e{Kind::DelayUs};
    e.amount = us;
    record(e);
    bool sleep;
    {
        std::lock_guard<std::mutex> lock(mutex);
        sleep = realDelays;
    }
    if (sleep)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void RecordingBoard::pinMode(quint8 pin)
{
    Event e{Kind::PinMode};
    e.pin = pin;
    record(e);
}

void RecordingBoard::digitalWrite(quint8 pin, quint8 level)
{
    Event e{Kind::Write};
    e.pin = pin;
    e.level = level;
    record(e);
}

void RecordingBoard::record(const Event &event)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded << event;
    }
    changed.notify_all();
}

std::ostream &operator<<(std::ostream &os, const RecordingBoard::PinWrite &w)
{
    return os << "pin " << int(w.pin) << "=" << int(w.level);
}
