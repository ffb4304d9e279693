// The capture of the transfer loop's exchanges: the ring keeps records whole across its end,
// loses what does not fit, counts it and says so in the stream; a closed ring is freed only once
// the transfer thread is out of it; and the Wireshark dissector names every code the driver has.

#include "link/capturering.h"
#include "base/capturewire.h"
#include "link/framecodes.h"
#include "support/consolecapture.h"

#include <QFile>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Records = std::vector<std::string>;

// A record's data in hex: shield, direction, the bytes on the bus.
std::string data(quint8 shield, quint8 direction, const QByteArray &bus)
{
    return (QByteArray(1, char(shield)) + char(direction) + bus).toHex(' ').toStdString();
}

// Every record waiting in the ring, as data() gives it; each header must give its length.
Records takeAll(CaptureRing &ring)
{
    Records records;
    for (QByteArray record; ring.take(&record);) {
        const auto *header = reinterpret_cast<const quint8 *>(record.constData());
        EXPECT_EQ(record.size(), CaptureWire::headerSize + CaptureWire::lengthOf(header));
        records.push_back(record.mid(CaptureWire::headerSize).toHex(' ').toStdString());
    }
    return records;
}

QByteArray bytes(int size, int first)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = static_cast<char>(first + i);
    return b;
}

void put(CaptureRing &ring, quint8 shield, const QByteArray &sent, const QByteArray &received)
{
    ring.exchange(shield, reinterpret_cast<const quint8 *>(sent.constData()),
                  reinterpret_cast<const quint8 *>(received.constData()), sent.size());
}

// A table of the dissector as it has to stand in its file: each code the driver names, in order.
template <typename Code>
QString luaTable(const char *table, const char *(*name)(Code), quint32 last)
{
    QString lua = QStringLiteral("local %1 = {\n").arg(QLatin1String(table));
    for (quint32 code = 0; code <= last; ++code) {
        if (const char *text = name(static_cast<Code>(code)))
            lua += QStringLiteral("    [0x%1] = \"%2\",\n")
                       .arg(QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')),
                            QLatin1String(text));
    }
    return lua + QLatin1Char('}');
}

}  // namespace

TEST(CaptureRing, AtItsBoundLosesWholeExchangesCountsThemAndSaysSoInTheStream)
{
    using namespace CaptureWire;
    std::atomic<quint64> dropped{0};
    CaptureRing ring(3000, &dropped);
    ASSERT_EQ(ring.capacity(), 4096u);
    // Bootloader bytes; then frames until the ring is full, and three exchanges more.
    Records expected;
    const auto exchange = [&](quint8 shield, const QByteArray &sent, const QByteArray &received) {
        put(ring, shield, sent, received);
        expected.push_back(data(shield, toShield, sent));
        expected.push_back(data(shield, fromShield, received));
    };
    exchange(4, bytes(100, 1), bytes(100, 7));
    const int frameExchange = 2 * (headerSize + busBytesAt + 8);
    const int fitting = (4096 - 2 * (headerSize + busBytesAt + 100)) / frameExchange;
    for (int i = 0; i < fitting; ++i)
        exchange(1, bytes(8, i), bytes(8, 100 + i));
    for (int i = 0; i < 3; ++i)
        put(ring, 1, bytes(8, 50), bytes(8, 60));
    EXPECT_EQ(dropped.load(), 6u);
    EXPECT_EQ(takeAll(ring), expected);

    // After the loss, and split at the ring's end: first the count, then a long packet whole.
    expected = {data(noShield, recordsLost, QByteArray::fromHex("00000006"))};
    exchange(2, bytes(528, 3), bytes(528, 9));
    EXPECT_EQ(takeAll(ring), expected);
    EXPECT_EQ(dropped.load(), 6u);
}

TEST(CaptureTap, GivesNoRingWhileNobodyCapturesAndFreesAClosedOneOnlyOnceTheCycleLeftIt)
{
    CaptureTap tap;
    EXPECT_EQ(tap.enter(), nullptr);
    CaptureRing *ring = tap.open();
    EXPECT_EQ(tap.open(), ring);  // one ring for every client

    ASSERT_EQ(tap.enter(), ring);
    EXPECT_FALSE(tap.close());  // the cycle is still in it
    tap.leave();
    EXPECT_EQ(tap.enter(), nullptr);
    EXPECT_TRUE(tap.close());

    // Records lost count over the rings, and the clients' losses too.
    CaptureRing *small = tap.open(1);
    for (int i = 0; i < 4; ++i)
        put(*small, 0, QByteArray(528, 'x'), QByteArray(528, 'x'));
    tap.addDropped(5);
    EXPECT_EQ(tap.dropped(), 2u + 5u);
    EXPECT_TRUE(tap.close());
}

TEST(CaptureDissector, NamesEveryCommandEventAndErrorCodeAsTheDriverDoes)
{
    QFile file(QStringLiteral(STM_SOURCE_DIR "/tools/wireshark/stmspi.lua"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString lua = QString::fromUtf8(file.readAll());
    for (const QString &table : {luaTable("commands", FrameCodes::commandName, 0xFF),
                                 luaTable("events", FrameCodes::eventName, 0xFF),
                                 luaTable("errors", FrameCodes::errorName, 0xFFFF)})
        EXPECT_TRUE(lua.contains(table)) << table;
}
