// The host side of the bootloader hand-off against a scripted device: the bytes and transfer
// boundaries on the bus, and how acknowledges are found, confirmed and reported.
#include "link/bootloaderhost.h"
#include "link/bootloaderwatch.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>
#include <cstring>

#include "board/board.h"

namespace {

// One transfer as the host made it.
struct Transfer
{
    bool second;    // through spi1_transfer
    QByteArray tx;  // bytes the host sent
    bool operator==(const Transfer &o) const { return second == o.second && tx == o.tx; }
};

void PrintTo(const Transfer &t, std::ostream *os)
{
    *os << (t.second ? "spi1{" : "spi{") << t.tx.toHex(' ').constData() << "}";
}

Transfer spi(const QByteArray &hex)
{
    return {false, QByteArray::fromHex(hex)};
}
const Transfer spi1Dummy{true, QByteArray(1, '\0')};

// A device that answers each byte clocked through spi_transfer from a script, one answer byte
// per byte sent, and an idle 0xFF once the script is used up.
class ScriptedBoard : public Board
{
public:
    explicit ScriptedBoard(const QByteArray &script) : script(script) {}

    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        log.append({false, QByteArray(reinterpret_cast<const char *>(buffer), length)});
        for (quint16 i = 0; i < length; ++i)
            received[i] = pos < script.size() ? static_cast<quint8>(script.at(pos++)) : 0xFF;
    }
    void spi1_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        log.append({true, QByteArray(reinterpret_cast<const char *>(buffer), length)});
        std::memset(received, 0, length);
    }

    QList<Transfer> log;
    QByteArray script;
    int pos = 0;
};

// Answers for n bytes that are not an acknowledge.
QByteArray silence(int n)
{
    return QByteArray(n, '\x00');
}
QByteArray nacks(int n)
{
    return QByteArray(n, '\x1F');
}
// Answers for an acknowledge procedure that sees 0x79 on dummy byte n (1-based), plus the answer
// to the confirming 0x79.
QByteArray ackOn(int n)
{
    return silence(n - 1) + QByteArray("\x79\x00", 2);
}

QList<Transfer> dummies(int n)
{
    QList<Transfer> t;
    for (int i = 0; i < n; ++i)
        t.append(spi("00"));
    return t;
}
// What the host sends in an acknowledge procedure that succeeds on dummy byte n.
QList<Transfer> ackedOn(int n)
{
    return QList<Transfer>{spi1Dummy} + dummies(n) + QList<Transfer>{spi("79")};
}
QList<Transfer> unacked()
{
    return QList<Transfer>{spi1Dummy} + dummies(BootloaderHost::ackAttempts);
}

struct AckCase
{
    const char *name;
    QByteArray answers;  // after the synchronisation byte
    bool result;
    QList<Transfer> after;  // transfers after the synchronisation byte
};

TEST(BootloaderHostInit, SynchronisesAndFindsTheAcknowledgeWithinElevenBytes)
{
    const AckCase cases[] = {
        {"ack on the first dummy byte", ackOn(1), true, ackedOn(1)},
        {"ack on the third dummy byte", ackOn(3), true, ackedOn(3)},
        {"ack on the last allowed dummy byte", ackOn(11), true, ackedOn(11)},
        {"ack one byte too late", ackOn(12), false, unacked()},
        {"never an ack", silence(40), false, unacked()},
        {"a not-acknowledge only", nacks(40), false, unacked()},
    };
    for (const AckCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBoard board(QByteArray(1, '\0') + c.answers);
        BootloaderHost host(&board);
        EXPECT_EQ(host.init(), c.result);
        EXPECT_EQ(board.log, QList<Transfer>{spi("5A")} + c.after);
    }
}

struct GoCase
{
    const char *name;
    quint32 address;
    QByteArray firstAck;
    QByteArray secondAck;
    bool result;
    QList<Transfer> firstSent;
    QByteArray addressFrame;
    QList<Transfer> secondSent;
};

TEST(BootloaderHostGo, SendsCommandThenAddressAndReportsTheFinalAcknowledge)
{
    const GoCase cases[] = {
        {"both acknowledged", 0x08000000, ackOn(1), ackOn(2), true, ackedOn(1), "0800000008",
         ackedOn(2)},
        {"command not acknowledged, address still sent", 0x08000000, nacks(11), ackOn(1), true,
         unacked(), "0800000008", ackedOn(1)},
        {"address not acknowledged", 0x08000000, ackOn(1), silence(11), false, ackedOn(1),
         "0800000008", unacked()},
        {"address bytes most significant first", 0x12345678, ackOn(1), ackOn(1), true, ackedOn(1),
         "1234567808", ackedOn(1)},
        {"checksum over all four bytes", 0x01020480, ackOn(1), ackOn(1), true, ackedOn(1),
         "0102048087", ackedOn(1)},
    };
    for (const GoCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray script = silence(3) + c.firstAck + silence(5) + c.secondAck;
        ScriptedBoard board(script);
        BootloaderHost host(&board);
        EXPECT_EQ(host.goCommand(c.address), c.result);
        const QList<Transfer> expected = QList<Transfer>{spi("5A21DE")} + c.firstSent +
                                         QList<Transfer>{spi(c.addressFrame)} + c.secondSent;
        EXPECT_EQ(board.log, expected);
    }
}

TEST(BootloaderHostGet, ReadsTheCountedListAndConfirmsIt)
{
    for (int n : {0, 2, 255}) {
        SCOPED_TRACE(n);
        QByteArray list;
        for (int i = 0; i <= n; ++i)
            list.append(static_cast<char>(0x31 + i));
        const QByteArray script = silence(3) + ackOn(1) + QByteArray(1, '\x5A') +
                                  QByteArray(1, static_cast<char>(n)) + list;
        ScriptedBoard board(script);
        BootloaderHost host(&board);

        quint8 data[257];
        std::memset(data, 0xEE, sizeof(data));
        host.getCommand(data);

        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(data), n + 1), list);
        EXPECT_EQ(data[n + 1], 0xEE) << "read past the announced count";

        QByteArray sent;
        for (const Transfer &t : board.log.mid(4)) {  // after the command and its acknowledge
            EXPECT_FALSE(t.second);
            sent += t.tx;
        }
        EXPECT_EQ(board.log.mid(0, 4),
                  (QList<Transfer>{spi("5A00FF"), spi1Dummy, spi("00"), spi("79")}));
        // filler, count, the n + 1 list bytes, all sent as 0x00, then the confirming 0x79
        EXPECT_EQ(sent, QByteArray(n + 3, '\0') + QByteArray(1, '\x79'));
    }
}

TEST(BootloaderHostXor, FoldsTheGivenBytesOnly)
{
    struct
    {
        QByteArray bytes;
        int len;
        int expected;
    } cases[] = {
        {QByteArray::fromHex("08000000"), 4, 0x08},   {QByteArray::fromHex("A5"), 1, 0xA5},
        {QByteArray::fromHex("FFFF"), 2, 0x00},       {QByteArray::fromHex("01020480"), 4, 0x87},
        {QByteArray::fromHex("0102048077"), 4, 0x87},  // the byte past len does not count
    };
    BootloaderHost host(nullptr);
    for (auto &c : cases) {
        SCOPED_TRACE(c.bytes.toHex().constData());
        EXPECT_EQ(host.xorCheck(reinterpret_cast<quint8 *>(c.bytes.data()), c.len), c.expected);
    }
}

}  // namespace

TEST(BootloaderWatch, WarnsAfterTenSecondsAtMostHourlyAndEndsWithAnyOtherAnswer)
{
    BootloaderWatch watch;
    EXPECT_FALSE(watch.inBootloader());
    struct Step {
        qint64 atMs;
        bool sign;         // a hand-off (true) or another answer
        bool warns;        // the line is due
        quint32 handoffs;  // afterwards
    };
    const qint64 hour = BootloaderWatch::warnEveryMs;
    const Step steps[] = {
        {1000, true, false, 1},
        {5000, true, false, 2},
        {10999, true, false, 3},
        {11000, true, true, 4},
        {12000, true, false, 5},
        {11000 + hour - 1, true, false, 6},
        {11000 + hour, true, true, 7},
        {11000 + hour + 5, false, false, 0},
        // A new stay: its own ten seconds, and the hour since the last line still holds.
        {2 * hour, true, false, 1},
        {2 * hour + 10000, true, false, 2},
        {2 * hour + 11000, true, true, 3},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.atMs);
        if (s.sign)
            EXPECT_EQ(watch.handedOff(s.atMs), s.warns);
        else
            watch.answeredOtherwise();
        EXPECT_EQ(watch.inBootloader(), s.sign);
        EXPECT_EQ(watch.handoffs(), s.handoffs);
    }
    EXPECT_EQ(watch.stayMs(2 * hour + 12000), 12000);
}
