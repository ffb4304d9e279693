// Emulated shields: each answers a frame one exchange late, with the driver's start byte, the
// answer of its code and a valid CRC, or with zeros when it has nothing to say.

#include "link/crc16.h"
#include "sim/debug.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <optional>

namespace {

QByteArray frameOf(std::initializer_list<int> bytes)
{
    QByteArray f;
    for (int b : bytes)
        f.append(static_cast<char>(b));
    return f;
}

// One exchange: sends the 8 bytes of `sent` to shield `shield` and returns the 8 clocked back.
QByteArray exchange(Debug &debug, quint8 shield, const QByteArray &sent)
{
    quint8 received[8] = {};
    debug.emulate_spi_transfer(shield, reinterpret_cast<const quint8 *>(sent.constData()), received,
                               8);
    return QByteArray(reinterpret_cast<const char *>(received), 8);
}

// A command frame with the given start byte and code and a payload that must not matter.
QByteArray command(quint8 start, quint8 code)
{
    QByteArray f = frameOf({start, code, 0x12, 0x34, 0x56, 0x78, 0, 0});
    const quint16 crc = CRC16::calc(reinterpret_cast<const quint8 *>(f.constData()), 6);
    f[6] = static_cast<char>(crc >> 8);
    f[7] = static_cast<char>(crc & 0xFF);
    return f;
}

const QByteArray idle(8, '\0');

class DebugTest : public ::testing::Test
{
protected:
    void SetUp() override { Debug::reset(); }
    Debug debug;
};

TEST_F(DebugTest, EveryCodeIsAnsweredInTheNextExchangeAsTheShieldWould)
{
    struct Case {
        quint8 code;
        std::optional<QByteArray> answer;  // bytes 1 to 5; none: the whole answer is zeros
    };
    const Case cases[] = {
        {0x01, frameOf({0x01, 0x00, 0x00, 0x01, 0xAA})},
        {0x02, frameOf({0x02, 0x00, 0x00, 0x00, 0x21})},
        {0x03, frameOf({0x03, 0x00, 0x00, 0x00, 0x0A})},
        {0x05, frameOf({0x05, 0xFF, 0xFF, 0xFF, 0xFF})},
        {0x06, frameOf({0x06, 0xFF, 0xFF, 0xFF, 0xFF})},
        {0x11, frameOf({0x11, 0, 0, 0, 0})},
        {0x12, frameOf({0x12, 0, 0, 0, 0})},
        {0x32, frameOf({0x32, 0, 0, 0, 0})},
        {0x33, frameOf({0x33, 0, 0, 0, 0})},
        {0x40, frameOf({0x40, 0, 0, 0, 0})},
        {0x60, frameOf({0x60, 0, 0, 0, 0})},
        {0x61, frameOf({0x61, 0, 0, 0, 0})},
        {0x20, frameOf({0x12, 0, 0, 0, 0})},
        {0x21, frameOf({0x12, 0, 0, 0, 0})},
        {0x22, frameOf({0x12, 0, 0, 0, 0})},
        {0x23, frameOf({0x12, 0, 0, 0, 0})},
        {0x31, frameOf({0x31, 0x00, 0x00, 0x00, 0x0A})},
        {0x00, std::nullopt},
        {0x13, std::nullopt},
        {0x14, std::nullopt},
        {0x50, std::nullopt},
        {0x62, std::nullopt},
        {0xFF, std::nullopt},
        {0x80, std::nullopt},  // echoed events
        {0x83, std::nullopt},
        {0x8F, std::nullopt},
    };

    for (quint8 start : {quint8(0x0A), quint8(0x8A)}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "start " << int(start) << ", code " << int(c.code));
            Debug::reset();
            EXPECT_EQ(exchange(debug, 2, command(start, c.code)), idle) << "answered at once";
            const QByteArray answer = exchange(debug, 2, idle);
            if (!c.answer) {
                EXPECT_EQ(answer, idle);
                continue;
            }
            EXPECT_EQ(static_cast<quint8>(answer.at(0)), start);
            EXPECT_EQ(answer.mid(1, 5), *c.answer);
            const quint16 crc =
                CRC16::calc(reinterpret_cast<const quint8 *>(answer.constData()), 6);
            EXPECT_EQ(static_cast<quint8>(answer.at(6)), crc >> 8);
            EXPECT_EQ(static_cast<quint8>(answer.at(7)), crc & 0xFF);
            // The idle frame of the second exchange left nothing to say.
            EXPECT_EQ(exchange(debug, 2, idle), idle);
        }
    }
}

TEST_F(DebugTest, TheIdentityAnswerCarriesTheShieldsOwnAddress)
{
    for (quint8 shield = 0; shield < 6; ++shield) {
        SCOPED_TRACE(shield);
        exchange(debug, shield, command(0x0A, 0x04));
        EXPECT_EQ(exchange(debug, shield, idle).mid(1, 5),
                  frameOf({0x04, 0xFF, 0xFF, shield, 0xFF}));
    }
}

TEST_F(DebugTest, EachShieldKeepsItsOwnAnswerAndTheFirstExchangeIsZeros)
{
    for (quint8 shield = 0; shield < 6; ++shield)
        EXPECT_EQ(exchange(debug, shield, command(0x0A, quint8(0x01 + shield))), idle) << shield;
    // Answered in reverse order: no shield sees another's answer.
    for (int shield = 5; shield >= 0; --shield) {
        const QByteArray answer = exchange(debug, quint8(shield), idle);
        EXPECT_EQ(static_cast<quint8>(answer.at(1)), 0x01 + shield) << shield;
    }
}

TEST_F(DebugTest, AKnownFrameIsEchoedByteForByte)
{
    const QByteArray sent = frameOf({0x8A, 0x60, 0x00, 0x00, 0x00, 0x00, 0x79, 0x9F});
    EXPECT_EQ(exchange(debug, 1, sent), idle);
    EXPECT_EQ(exchange(debug, 1, command(0x0A, 0x01)), sent);
}

TEST_F(DebugTest, OnlyEightBytesAreWrittenAndUnknownShieldsGetZeros)
{
    // A long packet's worth of buffer: the emulation writes its 8 bytes and nothing past them.
    QByteArray sent(528, '\0');
    sent.replace(0, 8, command(0x0A, 0x11));
    QByteArray received(528, '\xEE');
    auto *in = reinterpret_cast<quint8 *>(received.data());
    const auto *out = reinterpret_cast<const quint8 *>(sent.constData());
    debug.emulate_spi_transfer(0, out, in, 528);
    debug.emulate_spi_transfer(0, out, in, 528);
    EXPECT_EQ(static_cast<quint8>(received.at(1)), 0x11);
    EXPECT_EQ(received.mid(8), QByteArray(520, '\xEE'));

    for (quint8 shield : {quint8(6), quint8(255)}) {
        EXPECT_EQ(exchange(debug, shield, command(0x0A, 0x01)), idle) << int(shield);
        EXPECT_EQ(exchange(debug, shield, idle), idle) << int(shield);
    }
}

TEST(DebugCrc, IsModbusCrcOverAPlainBuffer)
{
    const QByteArray check("123456789");
    EXPECT_EQ(Debug::calc_crc16(reinterpret_cast<const quint8 *>(check.constData()), 9), 0x4B37);
    EXPECT_EQ(Debug::calc_crc16(reinterpret_cast<const quint8 *>(check.constData()), 0), 0xFFFF);
    const quint8 frame[6] = {0x8A, 0x60, 0, 0, 0, 0};
    EXPECT_EQ(Debug::calc_crc16(frame, 6), 0x799F);
}

}  // namespace
