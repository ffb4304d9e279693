// Audio blocks leaving for the host: one datagram per block, to the right shield's port, and
// nothing else; a short port list ends the process.
#include "audio/udpwrite.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <memory>
#include <vector>

#include "support/consolecapture.h"

namespace {

// Generous: loop-back delivery is immediate, but the machine may be busy.
const int arrivalMs = 5000;
// How long to watch for datagrams that must not come.
const int quietMs = 200;

// Six listeners on free loop-back ports, plus one for a seventh list entry.
class Listeners
{
public:
    explicit Listeners(int count)
    {
        for (int i = 0; i < count; ++i) {
            sockets.push_back(std::make_unique<QUdpSocket>());
            EXPECT_TRUE(sockets.back()->bind(QHostAddress(QHostAddress::LocalHost), 0));
            ports.append(sockets.back()->localPort());
        }
    }

    // Datagrams received by listener i within ms milliseconds of waiting.
    QList<QByteArray> take(int i, int ms)
    {
        QList<QByteArray> got;
        QUdpSocket &s = *sockets.at(static_cast<size_t>(i));
        if (!s.hasPendingDatagrams())
            s.waitForReadyRead(ms);
        while (s.hasPendingDatagrams()) {
            const QNetworkDatagram d = s.receiveDatagram();
            EXPECT_EQ(d.senderAddress(), QHostAddress(QHostAddress::LocalHost));
            got.append(d.data());
        }
        return got;
    }

    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    QList<quint16> ports;
};

QByteArray block(quint8 start)
{
    QByteArray b(512, '\0');
    for (int i = 0; i < b.size(); ++i)
        b[i] = static_cast<char>(start + i);
    return b;
}

void runEventsFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(UdpWriteSend, EachShieldReachesOnlyItsOwnPortWithTheBlockUnchanged)
{
    Listeners listeners(maxShields);
    UdpWrite writer(nullptr, listeners.ports);

    for (quint8 shield = 0; shield < maxShields; ++shield) {
        SCOPED_TRACE(shield);
        writer.write(shield, block(static_cast<quint8>(shield * 40)));
        const QList<QByteArray> got = listeners.take(shield, arrivalMs);
        ASSERT_EQ(got.size(), 1);
        EXPECT_EQ(got.at(0), block(static_cast<quint8>(shield * 40)));
        for (int other = 0; other < maxShields; ++other) {
            if (other != shield) {
                EXPECT_TRUE(listeners.take(other, 0).isEmpty()) << "port of shield " << other;
            }
        }
    }
    EXPECT_TRUE(listeners.take(3, quietMs).isEmpty()) << "a second datagram";
}

TEST(UdpWriteSend, AddressesPastTheLastShieldAndPortsPastTheSixthAreNeverUsed)
{
    ConsoleCapture console;
    Listeners listeners(maxShields + 1);
    UdpWrite writer(nullptr, listeners.ports);

    for (quint8 address : {quint8(6), quint8(7), quint8(255)})
        writer.write(address, block(address));
    runEventsFor(quietMs);
    for (int i = 0; i <= maxShields; ++i)
        EXPECT_TRUE(listeners.take(i, 0).isEmpty()) << "listener " << i;
    EXPECT_TRUE(console.out().isEmpty());
    EXPECT_TRUE(console.err().isEmpty());

    writer.write(5, block(5));
    EXPECT_EQ(listeners.take(5, arrivalMs), QList<QByteArray>{block(5)});
}

QStringList qtMessages;
void collectQtMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    qtMessages.append(text);
}

TEST(UdpWriteSend, NobodyListeningIsSilentAndLaterBlocksStillGo)
{
    Listeners listeners(maxShields);
    QList<quint16> ports = listeners.ports;
    {
        QUdpSocket closed;
        ASSERT_TRUE(closed.bind(QHostAddress(QHostAddress::LocalHost), 0));
        ports[0] = closed.localPort();
    }  // nobody listens on shield 0's port any more

    ConsoleCapture console;
    qtMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectQtMessage);
    {
        UdpWrite writer(nullptr, ports);
        for (int i = 0; i < 5; ++i) {
            writer.write(0, block(static_cast<quint8>(i)));
            runEventsFor(20);  // lets any refusal from the loop-back come back
        }
        writer.write(1, block(1));
        EXPECT_EQ(listeners.take(1, arrivalMs), QList<QByteArray>{block(1)});
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(console.out().isEmpty());
    EXPECT_TRUE(console.err().isEmpty());
    EXPECT_TRUE(qtMessages.isEmpty()) << qtMessages.join('\n').toStdString();
}

TEST(UdpWriteDeathTest, TooFewPortsEndTheProcessWithTheErrorLine)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const QList<quint16> five{20002, 20004, 20006, 20008, 20010};
    EXPECT_EXIT(UdpWrite(nullptr, five), ::testing::ExitedWithCode(1),
                "#ERROR: Количество заданных портов не соответствует шилдам!");
    EXPECT_EXIT(UdpWrite(nullptr, QList<quint16>()), ::testing::ExitedWithCode(1),
                "#ERROR: Количество заданных портов не соответствует шилдам!");
}

}  // namespace
