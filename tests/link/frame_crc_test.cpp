// The frame check (CRC-16/MODBUS stored high byte first), the frame composers and readers, the
// audio silence filler, and the conversion between frame bytes and the board's 16-bit words.

#include "link/crc16.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(static_cast<char>(v));
    return b;
}

QByteArray pattern(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return b;
}

// ---------------------------------------------------------------------------------------------
// CRC of the control part, and where it is stored.

struct CrcCase {
    const char *name;
    QByteArray control;  // bytes 0 to 5
    int high;            // byte 6
    int low;             // byte 7
};

class FrameCrc : public ::testing::TestWithParam<CrcCase> {};

TEST_P(FrameCrc, CalcAddAndCompare)
{
    const CrcCase &c = GetParam();
    const CRC16 crc;
    const quint16 expected = static_cast<quint16>(c.high << 8 | c.low);
    EXPECT_EQ(crc.calc(c.control, 6), expected);
    EXPECT_EQ(CRC16::calc(reinterpret_cast<const quint8 *>(c.control.constData()), 6), expected);

    QByteArray frame = c.control;
    crc.buf_crc_add(frame, 6);
    ASSERT_EQ(frame.size(), 8);
    EXPECT_EQ(frame.left(6), c.control);
    EXPECT_EQ(quint8(frame[6]), c.high);
    EXPECT_EQ(quint8(frame[7]), c.low);
    EXPECT_TRUE(crc.buf_crc_comparision(frame, 6));

    // Any changed byte, control or CRC, fails the check.
    for (int i = 0; i < 8; ++i) {
        QByteArray bad = frame;
        bad[i] = static_cast<char>(bad[i] ^ 0x01);
        EXPECT_FALSE(crc.buf_crc_comparision(bad, 6)) << "byte " << i;
    }
    // The CRC in the Modbus order (low byte first) is not this frame's check.
    QByteArray swapped = frame;
    swapped[6] = frame[7];
    swapped[7] = frame[6];
    EXPECT_FALSE(crc.buf_crc_comparision(swapped, 6));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameCrc,
    ::testing::Values(CrcCase{"Ping", bytes({0x0A, 0x60, 0, 0, 0, 0}), 0xB9, 0x80},
                      CrcCase{"PingToggled", bytes({0x8A, 0x60, 0, 0, 0, 0}), 0x79, 0x9F},
                      CrcCase{"ReadFirmware", bytes({0x8A, 0x01, 0x00, 0x12, 0, 0}), 0xB4,
                              0x82}),
    [](const ::testing::TestParamInfo<CrcCase> &info) { return std::string(info.param.name); });

TEST(Crc16, ModbusCheckValue)
{
    const QByteArray digits("123456789");
    EXPECT_EQ(CRC16().calc(digits, 9), 0x4B37);
    EXPECT_EQ(CRC16::calc(reinterpret_cast<const quint8 *>(digits.constData()), 9), 0x4B37);
}

TEST(Crc16, ZeroBytesGiveInitialValue)
{
    const CRC16 crc;
    EXPECT_EQ(crc.calc(QByteArray(), 0), 0xFFFF);
    EXPECT_EQ(crc.calc(QByteArray("123456789"), 0), 0xFFFF);
    EXPECT_EQ(CRC16::calc(nullptr, 0), 0xFFFF);
}

TEST(Crc16, BytesPastTheEndCountAsZero)
{
    const CRC16 crc;
    EXPECT_EQ(crc.calc(bytes({0x0A, 0x60}), 6), 0xB980);
    EXPECT_EQ(crc.calc(QByteArray(), 6), crc.calc(QByteArray(6, '\0'), 6));
    EXPECT_NE(crc.calc(QByteArray(), 6), 0xFFFF);  // the zero bytes do shift the CRC
}

TEST(Crc16, CompareReadsMissingCrcAsZero)
{
    const CRC16 crc;
    // Six control bytes and no CRC: the stored value reads as 0.
    EXPECT_FALSE(crc.buf_crc_comparision(bytes({0x0A, 0x60, 0, 0, 0, 0}), 6));
    EXPECT_FALSE(crc.buf_crc_comparision(QByteArray(), 6));
}

TEST(Crc16, AddGrowsShortArray)
{
    const CRC16 crc;
    QByteArray frame = bytes({0x0A, 0x60});
    crc.buf_crc_add(frame, 6);
    EXPECT_EQ(frame, bytes({0x0A, 0x60, 0, 0, 0, 0, 0xB9, 0x80}));
}

TEST(Crc16, AddKeepsLongPacketSize)
{
    const CRC16 crc;
    const QByteArray before = pattern(Frame::longSize);
    QByteArray packet = before;
    crc.buf_crc_add(packet, 6);
    ASSERT_EQ(packet.size(), Frame::longSize);
    const quint16 expected = crc.calc(before, 6);
    EXPECT_EQ(quint8(packet[6]), expected >> 8);
    EXPECT_EQ(quint8(packet[7]), expected & 0xFF);
    EXPECT_EQ(packet.left(6), before.left(6));
    EXPECT_EQ(packet.mid(8), before.mid(8));
    EXPECT_TRUE(crc.buf_crc_comparision(packet, 6));

    // The audio and the trailer lie outside the check.
    packet[Frame::audioOffset + 100] = static_cast<char>(packet[Frame::audioOffset + 100] ^ 0xFF);
    packet[Frame::longSize - 1] = static_cast<char>(packet[Frame::longSize - 1] ^ 0xFF);
    EXPECT_TRUE(crc.buf_crc_comparision(packet, 6));
}

// ---------------------------------------------------------------------------------------------
// Composers and readers: start byte 0x0A, code, big-endian payload in bytes 2 to 5, CRC 0.

struct ComposeCase {
    const char *name;
    QByteArray frame;
    QByteArray expected;
};

class FrameCompose : public ::testing::TestWithParam<ComposeCase> {};

TEST_P(FrameCompose, Layout)
{
    EXPECT_EQ(GetParam().frame.toHex(' '), GetParam().expected.toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(
    Composers, FrameCompose,
    ::testing::Values(
        ComposeCase{"Bytes", Frame::compose(0x13, 0x01, 0x02, 0x03, 0x04),
                    bytes({0x0A, 0x13, 0x01, 0x02, 0x03, 0x04, 0, 0})},
        ComposeCase{"NoArguments", Frame::compose(0x60, 0, 0, 0, 0),
                    bytes({0x0A, 0x60, 0, 0, 0, 0, 0, 0})},
        ComposeCase{"TwoWords", Frame::compose16(0x32, 0x1234, 0xABCD),
                    bytes({0x0A, 0x32, 0x12, 0x34, 0xAB, 0xCD, 0, 0})},
        ComposeCase{"OneLong", Frame::compose32(0x0E, 0x89ABCDEF),
                    bytes({0x0A, 0x0E, 0x89, 0xAB, 0xCD, 0xEF, 0, 0})},
        ComposeCase{"HighCode", Frame::compose32(0xFF, 0x000000FF),
                    bytes({0x0A, 0xFF, 0, 0, 0, 0xFF, 0, 0})}),
    [](const ::testing::TestParamInfo<ComposeCase> &info) {
        return std::string(info.param.name);
    });

TEST(Frame, ReadersUndoComposers)
{
    const QByteArray two = Frame::compose16(0x01, 0xFEDC, 0x0123);
    EXPECT_EQ(Frame::u16At2(two), 0xFEDC);
    EXPECT_EQ(Frame::u16At4(two), 0x0123);
    EXPECT_EQ(Frame::code(two), 0x01);
    const QByteArray one = Frame::compose32(0xE1, 0x80000001);
    EXPECT_EQ(Frame::u32At2(one), 0x80000001u);
    EXPECT_EQ(Frame::byte(one, 3), 0x00);
    EXPECT_EQ(Frame::byte(one, 5), 0x01);
    // A short array reads zeros past its end instead of running off it.
    EXPECT_EQ(Frame::u32At2(bytes({0x0A, 0x80, 0x12})), 0x12000000u);
    EXPECT_EQ(Frame::code(QByteArray()), 0);
}

TEST(Frame, StartAndEventClassification)
{
    struct Case {
        int start;
        bool valid;
    };
    for (const Case &c : {Case{0x0A, true}, Case{0x8A, true}, Case{0x00, false},
                          Case{0x0B, false}, Case{0x8B, false}, Case{0xA5, false},
                          Case{0x79, false}, Case{0x1F, false}, Case{0xFF, false}}) {
        EXPECT_EQ(Frame::hasValidStart(bytes({c.start, 0x60})), c.valid) << std::hex << c.start;
    }
    EXPECT_FALSE(Frame::isEvent(bytes({0x0A, 0x7F})));
    EXPECT_TRUE(Frame::isEvent(bytes({0x0A, 0x80})));
    EXPECT_TRUE(Frame::isEvent(bytes({0x0A, 0xE3})));
}

TEST(Frame, SilenceFillsAudioAndTrailer)
{
    QByteArray packet(Frame::longSize, '\0');
    Frame::fillSilence(packet, Frame::audioOffset);
    ASSERT_EQ(packet.size(), Frame::longSize);
    EXPECT_EQ(packet.left(8), QByteArray(8, '\0'));
    for (int i = Frame::audioOffset; i < Frame::longSize; i += 2) {
        ASSERT_EQ(quint8(packet[i]), 0xFF) << i;
        ASSERT_EQ(quint8(packet[i + 1]), 0x7F) << i + 1;
    }
    EXPECT_EQ(quint8(packet[527]), 0x7F);
}

// ---------------------------------------------------------------------------------------------
// Frame bytes and the board's words: word i = byte 2i | byte 2i+1 << 8, no byte swapped.

TEST(Frame, WordOrder)
{
    const QByteArray frame = bytes({0x8A, 0x01, 0x00, 0x12, 0xB4, 0x82, 0xFF, 0x7F});
    quint16 words[Frame::shortWords] = {};
    Frame::byteArray_to_uint16(frame, words, Frame::shortWords);
    EXPECT_EQ(words[0], 0x018A);
    EXPECT_EQ(words[1], 0x1200);
    EXPECT_EQ(words[2], 0x82B4);
    EXPECT_EQ(words[3], 0x7FFF);
}

TEST(Frame, LongPacketRoundTrip)
{
    const QByteArray packet = pattern(Frame::longSize);
    std::vector<quint16> words(Frame::longWords, 0);
    Frame::byteArray_to_uint16(packet, words.data(), Frame::longWords);
    for (int i = 0; i < Frame::longWords; ++i) {
        ASSERT_EQ(words[static_cast<size_t>(i)],
                  quint16(quint8(packet[2 * i]) | quint8(packet[2 * i + 1]) << 8))
            << "word " << i;
    }
    QByteArray back;
    Frame::uint16_to_byteArray(words.data(), back, Frame::longWords);
    EXPECT_EQ(back, packet);
}

TEST(Frame, WordsToBytesGrowsOnlyWhenShort)
{
    const quint16 words[2] = {0x0A60, 0xB980};
    QByteArray longer(8, '\x55');
    Frame::uint16_to_byteArray(words, longer, 2);
    EXPECT_EQ(longer, bytes({0x60, 0x0A, 0x80, 0xB9, 0x55, 0x55, 0x55, 0x55}));

    QByteArray untouched = bytes({1, 2});
    Frame::uint16_to_byteArray(words, untouched, 0);
    EXPECT_EQ(untouched, bytes({1, 2}));
    quint16 none[1] = {0x1234};
    Frame::byteArray_to_uint16(bytes({1, 2}), none, 0);
    EXPECT_EQ(none[0], 0x1234);
}

}  // namespace
