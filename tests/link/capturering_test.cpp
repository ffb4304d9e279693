// The capture of the transfer loop's exchanges: the ring keeps records whole across its end,
// loses what does not fit, counts it and says so in the stream; a closed ring is freed only once
// the transfer thread is out of it; and the Wireshark dissector names every code the driver has.

#include "link/capturering.h"
#include "base/capturewire.h"
#include "link/framecodes.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

struct Record {
    int shield;
    int direction;
    QByteArray bus;
};

Record parse(const QByteArray &record)
{
    const auto *header = reinterpret_cast<const quint8 *>(record.constData());
    EXPECT_EQ(record.size(), CaptureWire::headerSize + CaptureWire::lengthOf(header));
    const QByteArray data = record.mid(CaptureWire::headerSize);
    return {quint8(data.at(0)), quint8(data.at(1)), data.mid(CaptureWire::busBytesAt)};
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

// The names of one table of the dissector: `local NAME = { [0x..] = "...", ... }`.
QMap<quint32, QString> luaTable(const QString &lua, const QString &name)
{
    QMap<quint32, QString> table;
    const int start = lua.indexOf(QStringLiteral("local ") + name + QStringLiteral(" = {"));
    const int end = lua.indexOf(QStringLiteral("\n}"), start);
    EXPECT_GE(start, 0) << name.toStdString();
    static const QRegularExpression entry(QStringLiteral("\\[0x([0-9A-Fa-f]+)\\] = \"([^\"]*)\""));
    auto it = entry.globalMatch(lua.mid(start, end - start));
    while (it.hasNext()) {
        const auto m = it.next();
        table.insert(m.captured(1).toUInt(nullptr, 16), m.captured(2));
    }
    return table;
}

}  // namespace

TEST(CaptureRing, AtItsBoundLosesWholeExchangesCountsThemAndSaysSoInTheStream)
{
    std::atomic<quint64> dropped{0};
    CaptureRing ring(4096, &dropped);
    ASSERT_EQ(ring.capacity(), 4096u);
    // A long packet whole; then short frames until the ring is full, and three exchanges more.
    const int shortExchange = 2 * (CaptureWire::headerSize + CaptureWire::busBytesAt + 8);
    const int longExchange = 2 * (CaptureWire::headerSize + CaptureWire::maxDataSize);
    put(ring, 4, bytes(528, 1), bytes(528, 7));
    const int fitting = (4096 - longExchange) / shortExchange;
    for (int i = 0; i < fitting + 3; ++i)
        put(ring, 1, bytes(8, i), bytes(8, 100 + i));
    EXPECT_EQ(dropped.load(), 6u);

    QByteArray record;
    ASSERT_TRUE(ring.take(&record));
    Record r = parse(record);
    EXPECT_EQ(r.shield, 4);
    EXPECT_EQ(r.direction, CaptureWire::toShield);
    EXPECT_EQ(r.bus, bytes(528, 1));
    ASSERT_TRUE(ring.take(&record));
    r = parse(record);
    EXPECT_EQ(r.direction, CaptureWire::fromShield);
    EXPECT_EQ(r.bus, bytes(528, 7));
    int taken = 0;
    while (ring.take(&record)) {
        r = parse(record);
        EXPECT_EQ(r.bus, bytes(8, taken / 2 + (r.direction == CaptureWire::toShield ? 0 : 100)));
        ++taken;
    }
    EXPECT_EQ(taken, 2 * fitting);

    // After the loss, and across the ring's end: first the count, then the exchange itself.
    put(ring, 2, bytes(528, 3), bytes(528, 9));
    ASSERT_TRUE(ring.take(&record));
    r = parse(record);
    EXPECT_EQ(r.shield, CaptureWire::noShield);
    EXPECT_EQ(r.direction, CaptureWire::recordsLost);
    EXPECT_EQ(r.bus, QByteArray::fromHex("00000006"));
    ASSERT_TRUE(ring.take(&record));
    EXPECT_EQ(parse(record).bus, bytes(528, 3));
    ASSERT_TRUE(ring.take(&record));
    EXPECT_EQ(parse(record).bus, bytes(528, 9));
    EXPECT_FALSE(ring.take(&record));
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

    // Records lost count over every ring, and the clients' losses too.
    CaptureRing *small = tap.open(1);
    const QByteArray packet(528, 'x');
    for (int i = 0; i < 4; ++i)
        put(*small, 0, packet, packet);
    tap.addDropped(5);
    EXPECT_EQ(tap.dropped(), 2u + 5u);
    EXPECT_TRUE(tap.close());
}

TEST(CaptureDissector, NamesEveryCommandEventAndErrorCodeAsTheDriverDoes)
{
    QFile file(QStringLiteral(STM_SOURCE_DIR "/tools/wireshark/stmspi.lua"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString lua = QString::fromUtf8(file.readAll());
    QMap<quint32, QString> commands, events, errors;
    for (quint32 code = 0; code <= 0xFF; ++code) {
        if (const char *name = FrameCodes::commandName(static_cast<quint8>(code)))
            commands.insert(code, QLatin1String(name));
        if (const char *name = FrameCodes::eventName(static_cast<quint8>(code)))
            events.insert(code, QLatin1String(name));
    }
    for (quint32 code = 0; code <= 0xFFFF; ++code) {
        if (const char *name = FrameCodes::errorName(code))
            errors.insert(code, QLatin1String(name));
    }
    EXPECT_EQ(luaTable(lua, QStringLiteral("commands")), commands);
    EXPECT_EQ(luaTable(lua, QStringLiteral("events")), events);
    EXPECT_EQ(luaTable(lua, QStringLiteral("errors")), errors);
    EXPECT_EQ(commands.size(), 20);
    EXPECT_EQ(events.size(), 11);
}
