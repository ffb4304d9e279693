// The host's command reader: numeric and keyword command forms and the frames they queue, shield
// addresses with several shields, the refusal for shields out of service, loading of the
// apartment lists with its prompts, and reading lines from a device (line ends, over-long lines,
// end of input).
#include "config/settings.h"
#include "console/consolescan.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "support/consolecapture.h"
#include "support/shieldlinks.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

namespace {

// A queued command frame as code byte and 32-bit payload (bytes 2 to 5).
using Sent = std::pair<quint8, quint32>;
using SentList = std::vector<Sent>;

const Sent pickup{SPIcommand::PICKUP, 0};
const Sent audioOn{SPIcommand::AUDIO_PLAY, 1};
const Sent audioOff{SPIcommand::AUDIO_PLAY, 0};
const Sent dropCall{SPIcommand::DROP, 0};
Sent openDoor(quint8 door) { return {SPIcommand::OPEN, door}; }
Sent dial(quint16 number) { return {SPIcommand::DIAL, number}; }
Sent phoneDetect(quint16 number) { return {SPIcommand::PHONE_DETECT, number}; }
Sent setIntercom(quint8 index) { return {SPIcommand::SET_INTERCOM, index}; }

const QString noAddress = QStringLiteral("#ERROR: Отсутствует адрес шилда");
const QString noSuchAddress = QStringLiteral("#ERROR: Адреса шилда не существует");
const QString badApartment = QStringLiteral("#ERROR: Ошибка ввода квартиры");
const QString bigNumber = QStringLiteral("Error: big number");
const QString endRooms = QStringLiteral("#End read rooms");

QString notAvailable(int shield)
{
    return QStringLiteral("#WARNING: Address %1 not available for command").arg(shield);
}

// A reader wired to real settings, link records and command builder; the served shields are
// online and every captured line before the first test line is forgotten.
class Reader : public ShieldLinks
{
public:
    explicit Reader(bool multiShield)
    {
        QStringList args{QStringLiteral("x")};
        if (multiShield)
            args << QStringLiteral("-multishield");
        settings.parse(args);
        for (int s = 0; s <= settings.lastShield; ++s)
            settings.shieldState[size_t(s)].setState(ShieldState::STATE_ONLINE);
        capture.clear();
    }

    void lines(const QStringList &texts)
    {
        for (const QString &text : texts)
            scan.processLine(text);
    }

    // Command frames queued on one shield, oldest first.
    SentList sent(int shield)
    {
        DataTransmission &queue = *links[size_t(shield)].command_queue;
        std::lock_guard<PiMutex> lock(queue.mutex);
        SentList result;
        for (const QByteArray &frame : queue.list)
            result.emplace_back(Frame::code(frame), Frame::u32At2(frame));
        return result;
    }

    // Frames queued anywhere except the command queue of `shield`.
    int framesElsewhere(int shield)
    {
        int count = 0;
        for (int s = 0; s < 6; ++s) {
            SPIconnector &l = links[size_t(s)];
            count += l.direct_queue->size() + l.event_ack_queue->size() + l.audio_queue->size();
            if (s != shield)
                count += l.command_queue->size();
        }
        return count;
    }

    ShieldState &record(int shield) { return settings.shieldState[size_t(shield)]; }

    ConsoleCapture capture;
    ConsoleScan scan{&command, &settings};
};

int bitsSet(const ShieldState::ApartmentList &list)
{
    int count = 0;
    for (const auto &word : list)
        for (quint32 w = word; w; w &= w - 1)
            ++count;
    return count;
}

bool hasApartment(const ShieldState::ApartmentList &list, int n)
{
    return (list[size_t(n / 32)] >> (n % 32)) & 1u;
}

// --- Commands with one shield -------------------------------------------------------------------

struct CommandCase {
    const char *line;
    SentList frames;
};

void PrintTo(const CommandCase &c, std::ostream *os) { *os << '"' << c.line << '"'; }

class CommandForms : public ::testing::TestWithParam<CommandCase>
{
};

TEST_P(CommandForms, QueueTheirFramesOnShieldZeroAndWriteNothing)
{
    const CommandCase &c = GetParam();
    Reader reader(false);
    reader.scan.processLine(QString::fromUtf8(c.line));
    EXPECT_EQ(reader.sent(0), c.frames) << "line \"" << c.line << '"';
    EXPECT_EQ(reader.framesElsewhere(0), 0);
    EXPECT_EQ(reader.capture.out(), QStringList());
    EXPECT_EQ(reader.capture.err(), QStringList());
    EXPECT_EQ(reader.record(0).getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
}

INSTANTIATE_TEST_SUITE_P(
    Console, CommandForms,
    ::testing::Values(
        // One number: first digit the code, the other digits the argument.
        CommandCase{"25", {openDoor(5)}}, CommandCase{"2", {openDoor(3)}},
        CommandCase{"71", {setIntercom(1)}}, CommandCase{"7", {setIntercom(255)}},
        CommandCase{"4", {dial(0xFFFF)}}, CommandCase{"41", {dial(1)}},
        CommandCase{"1", {pickup, audioOn}}, CommandCase{"3", {audioOff, dropCall}},
        CommandCase{"59", {phoneDetect(9)}}, CommandCase{"123", {pickup, audioOn}},
        CommandCase{"300", {dial(0)}},  // 300 mod 256 = 44: code 4, argument 300 mod 10
        CommandCase{"0", {}}, CommandCase{"8", {}}, CommandCase{"9", {}},
        CommandCase{"89", {}},
        // Two numbers: code and argument.
        CommandCase{"2 7", {openDoor(7)}}, CommandCase{"7 12", {setIntercom(12)}},
        CommandCase{"4 300", {dial(300)}}, CommandCase{"5 65535", {phoneDetect(0xFFFF)}},
        CommandCase{"2 65535", {openDoor(3)}},  // 0xFFFF is "no argument"
        CommandCase{"258 5", {openDoor(5)}},    // the code is taken in 8 bits
        CommandCase{"2 x", {}}, CommandCase{"2 7 9", {}},
        // Keywords.
        CommandCase{"open", {openDoor(3)}}, CommandCase{"open 7", {openDoor(7)}},
        CommandCase{"open x", {openDoor(0)}}, CommandCase{"open 300", {openDoor(44)}},
        CommandCase{"open 7 9", {openDoor(7)}}, CommandCase{"dial", {dial(0)}},
        CommandCase{"dial 123", {dial(123)}}, CommandCase{"dial  12", {dial(0)}},
        CommandCase{"dial 65537", {dial(1)}}, CommandCase{"dial -5", {dial(0)}},
        CommandCase{"pickup", {pickup, audioOn}}, CommandCase{"pickup 5", {pickup, audioOn}},
        CommandCase{"drop", {audioOff, dropCall}}, CommandCase{"phonedetect 9", {phoneDetect(9)}},
        CommandCase{"phonedetect", {phoneDetect(0)}},
        // Nothing.
        CommandCase{"hello", {}}, CommandCase{"Open 7", {}}, CommandCase{"", {}},
        CommandCase{" drop", {}}));

TEST(ConsoleIntercom, SettingTheIndexUpdatesTheSettingsAndTheAddressGate)
{
    Reader reader(false);
    reader.lines({QStringLiteral("7 136")});
    EXPECT_EQ(reader.settings.intercomIndex[0].load(), 136);
    EXPECT_TRUE(reader.record(0).getFlagAdrGate());
    EXPECT_EQ(reader.capture.out(),
              QStringList{QStringLiteral("#Intercom 136 supported indexes for shield 0")});
    EXPECT_EQ(reader.sent(0), SentList{setIntercom(136)});

    reader.capture.clear();
    reader.lines({QStringLiteral("7 12")});
    EXPECT_EQ(reader.settings.intercomIndex[0].load(), 12);
    EXPECT_FALSE(reader.record(0).getFlagAdrGate());
    EXPECT_EQ(reader.capture.out(), QStringList());
    EXPECT_EQ(reader.sent(0), (SentList{setIntercom(136), setIntercom(12)}));
}

TEST(ConsoleRefusal, AShieldOutOfServiceRefusesEveryLine)
{
    Reader reader(false);
    reader.record(0).setState(ShieldState::STATE_INIT);
    reader.lines({QStringLiteral("drop"), QStringLiteral("dialplan"), QString()});
    EXPECT_EQ(reader.capture.out(), QStringList({notAvailable(0), notAvailable(0), notAvailable(0)}));
    EXPECT_EQ(reader.capture.err(), QStringList());
    EXPECT_EQ(reader.sent(0), SentList());
    EXPECT_EQ(reader.record(0).getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
}

// --- Several shields ----------------------------------------------------------------------------

struct AddressCase {
    const char *line;
    int shield;  // -1: refused
    SentList frames;
    QString error;
};

void PrintTo(const AddressCase &c, std::ostream *os) { *os << '"' << c.line << '"'; }

class ShieldAddresses : public ::testing::TestWithParam<AddressCase>
{
};

TEST_P(ShieldAddresses, SelectTheShieldOrAreReported)
{
    const AddressCase &c = GetParam();
    Reader reader(true);
    reader.scan.processLine(QString::fromUtf8(c.line));
    if (c.shield >= 0) {
        EXPECT_EQ(reader.sent(c.shield), c.frames);
        EXPECT_EQ(reader.framesElsewhere(c.shield), 0);
        EXPECT_EQ(reader.capture.err(), QStringList());
    } else {
        EXPECT_EQ(reader.framesElsewhere(-1), 0);
        EXPECT_EQ(reader.capture.err(), QStringList{c.error});
    }
    EXPECT_EQ(reader.capture.out(), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Console, ShieldAddresses,
    ::testing::Values(AddressCase{"3 drop", 3, {audioOff, dropCall}, {}},
                      AddressCase{"259 drop", 3, {audioOff, dropCall}, {}},
                      AddressCase{"0 25", 0, {openDoor(5)}, {}},
                      AddressCase{"5 7 12", 5, {setIntercom(12)}, {}},
                      AddressCase{"4 dial 300", 4, {dial(300)}, {}},
                      AddressCase{"1 ", 1, {}, {}}, AddressCase{"9 drop", -1, {}, noSuchAddress},
                      AddressCase{"6 drop", -1, {}, noSuchAddress},
                      AddressCase{"drop", -1, {}, noAddress},
                      AddressCase{"x drop", -1, {}, noAddress},
                      AddressCase{"-1 drop", -1, {}, noAddress},
                      AddressCase{" drop", -1, {}, noAddress}, AddressCase{"3", -1, {}, noAddress},
                      AddressCase{"", -1, {}, noAddress}));

TEST(ConsoleRefusal, WithSeveralShieldsTheWarningNamesTheShield)
{
    Reader reader(true);
    reader.record(4).setState(ShieldState::STATE_OFFLINE);
    reader.lines({QStringLiteral("4 drop"), QStringLiteral("2 drop")});
    EXPECT_EQ(reader.capture.out(), QStringList{notAvailable(4)});
    EXPECT_EQ(reader.sent(4), SentList());
    EXPECT_EQ(reader.sent(2), (SentList{audioOff, dropCall}));
}

// --- Apartment lists ----------------------------------------------------------------------------

struct PromptMode {
    bool multiShield;
    int shield;
    QString prefix;  // before every line sent
    QStringList virtualPrompt;
    QStringList blackPrompt;
};

void PrintTo(const PromptMode &m, std::ostream *os)
{
    *os << (m.multiShield ? "several shields" : "one shield");
}

class DialplanFlow : public ::testing::TestWithParam<PromptMode>
{
};

TEST_P(DialplanFlow, ReadsBothListsWithTheirPromptsAndRequestsThePush)
{
    const PromptMode &m = GetParam();
    Reader reader(m.multiShield);
    ShieldState &record = reader.record(m.shield);
    record.virtualList[3] = 0xFFFF;  // left from an earlier load: emptied when a list starts
    record.blackList[7] = 0xFFFF;
    const auto send = [&](const char *text) {
        reader.scan.processLine(m.prefix + QString::fromUtf8(text));
    };

    send("dialplan");
    EXPECT_EQ(reader.capture.out(), m.virtualPrompt);
    EXPECT_EQ(record.getConsoleModeRead(), ShieldState::MODE_READ_VIRTUAL_LIST);
    EXPECT_EQ(bitsSet(record.virtualList), 0);
    EXPECT_EQ(record.blackList[7].load(), 0xFFFFu);

    reader.capture.clear();
    for (const char *n : {"5", "1023", "0", "5"})
        send(n);
    EXPECT_EQ(reader.capture.out(), QStringList());
    send("-1");
    EXPECT_EQ(reader.capture.out(), QStringList({endRooms, QString()}) + m.blackPrompt);
    EXPECT_EQ(record.getConsoleModeRead(), ShieldState::MODE_READ_BLACK_LIST);
    EXPECT_EQ(bitsSet(record.blackList), 0);
    EXPECT_FALSE(record.isSendDialplan());

    reader.capture.clear();
    send("7");
    send("65535");
    EXPECT_EQ(reader.capture.out(), QStringList({endRooms, QString()}));
    EXPECT_EQ(reader.capture.err(), QStringList());
    EXPECT_EQ(record.getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
    EXPECT_TRUE(record.isSendDialplan());
    EXPECT_FALSE(record.isSendDialplan());

    EXPECT_EQ(record.virtualList[0].load(), 0x21u);
    EXPECT_EQ(record.virtualList[31].load(), 0x80000000u);
    EXPECT_EQ(bitsSet(record.virtualList), 3);
    EXPECT_EQ(record.blackList[0].load(), 0x80u);
    EXPECT_EQ(bitsSet(record.blackList), 1);
    EXPECT_EQ(reader.framesElsewhere(-1), 0);

    // Back to commands.
    send("drop");
    EXPECT_EQ(reader.sent(m.shield), (SentList{audioOff, dropCall}));
}

INSTANTIATE_TEST_SUITE_P(
    Console, DialplanFlow,
    ::testing::Values(
        PromptMode{false, 0, QString(),
                   {QStringLiteral("mask_imit"), QStringLiteral("#Write rooms for shield:")},
                   {QStringLiteral("mask_block"),
                    QStringLiteral("#Write blacklist rooms for shield:")}},
        PromptMode{true, 2, QStringLiteral("2 "),
                   {QStringLiteral("2 mask_imit"), QStringLiteral("#Write rooms for shield 2:")},
                   {QStringLiteral("2 mask_block"),
                    QStringLiteral("#Write blacklist rooms for shield 2:")}}));

TEST(ListLoading, ShieldsReadTheirListsIndependently)
{
    Reader reader(true);
    reader.lines({QStringLiteral("2 dialplan"), QStringLiteral("1 drop"), QStringLiteral("2 9")});
    EXPECT_EQ(reader.sent(1), (SentList{audioOff, dropCall}));
    EXPECT_EQ(reader.record(1).getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
    EXPECT_TRUE(hasApartment(reader.record(2).virtualList, 9));
    EXPECT_EQ(bitsSet(reader.record(1).virtualList), 0);
}

struct ListCase {
    const char *line;
    int apartment;  // the bit expected set, or -1 for none
    bool ends;
    QStringList out;
    QStringList err;
};

void PrintTo(const ListCase &c, std::ostream *os) { *os << '"' << c.line << '"'; }

class ListValues : public ::testing::TestWithParam<ListCase>
{
};

TEST_P(ListValues, AreStoredRejectedOrEndTheList)
{
    const ListCase &c = GetParam();
    Reader reader(false);
    reader.lines({QStringLiteral("dialplan")});
    reader.capture.clear();
    reader.scan.processLine(QString::fromUtf8(c.line));

    const ShieldState &record = reader.record(0);
    EXPECT_EQ(bitsSet(record.virtualList), c.apartment >= 0 ? 1 : 0);
    if (c.apartment >= 0) {
        EXPECT_TRUE(hasApartment(record.virtualList, c.apartment));
    }
    EXPECT_EQ(record.getConsoleModeRead(), c.ends ? ShieldState::MODE_READ_BLACK_LIST
                                                  : ShieldState::MODE_READ_VIRTUAL_LIST);
    QStringList out = c.out;
    if (c.ends)
        out << endRooms << QString() << QStringLiteral("mask_block")
            << QStringLiteral("#Write blacklist rooms for shield:");
    EXPECT_EQ(reader.capture.out(), out);
    EXPECT_EQ(reader.capture.err(), c.err);
    EXPECT_EQ(reader.framesElsewhere(-1), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Console, ListValues,
    ::testing::Values(ListCase{"0", 0, false, {}, {}}, ListCase{"1023", 1023, false, {}, {}},
                      ListCase{"66559", 1023, false, {}, {}},  // 1023 in 16 bits
                      ListCase{"1024", -1, false, {bigNumber}, {}},
                      ListCase{"70000", -1, false, {bigNumber}, {}},
                      ListCase{"32767", -1, false, {bigNumber}, {}},
                      ListCase{"-1", -1, true, {}, {}}, ListCase{"65535", -1, true, {}, {}},
                      ListCase{"-300", -1, true, {}, {}}, ListCase{"32768", -1, true, {}, {}},
                      ListCase{"1 2", -1, false, {}, {badApartment}},
                      ListCase{"x", -1, false, {}, {badApartment}},
                      ListCase{"dialplan", -1, false, {}, {badApartment}},
                      ListCase{"", -1, false, {}, {badApartment}},
                      ListCase{"5 ", -1, false, {}, {badApartment}}));

TEST(ListLoading, RepeatedApartmentsAreStoredOnceInAnyOrder)
{
    Reader reader(false);
    reader.lines({QStringLiteral("dialplan"), QStringLiteral("40"), QStringLiteral("3"),
                  QStringLiteral("40"), QStringLiteral("33"), QStringLiteral("3")});
    const ShieldState &record = reader.record(0);
    EXPECT_EQ(record.virtualList[0].load(), 0x8u);
    EXPECT_EQ(record.virtualList[1].load(), (1u << 8) | (1u << 1));
    EXPECT_EQ(bitsSet(record.virtualList), 3);
}

TEST(ListLoading, AShieldLostDuringAListRefusesLinesThenReadsCommands)
{
    Reader reader(false);
    ShieldState &record = reader.record(0);
    reader.lines({QStringLiteral("dialplan"), QStringLiteral("-1"), QStringLiteral("5")});
    record.setState(ShieldState::STATE_OFFLINE);
    reader.capture.clear();

    reader.lines({QStringLiteral("25"), QStringLiteral("-1")});
    EXPECT_EQ(reader.capture.out(), QStringList({notAvailable(0), notAvailable(0)}));
    EXPECT_EQ(reader.sent(0), SentList());

    record.setState(ShieldState::STATE_ONLINE);
    reader.capture.clear();
    reader.lines({QStringLiteral("25"), QStringLiteral("-1")});
    EXPECT_EQ(reader.sent(0), SentList{openDoor(5)});
    EXPECT_EQ(reader.capture.out(), QStringList());
    EXPECT_EQ(record.getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
    EXPECT_FALSE(record.isSendDialplan());
    EXPECT_TRUE(hasApartment(record.blackList, 5));  // what was read so far stays
}

// --- Reading from a device ----------------------------------------------------------------------

// Runs the reading loop over the bytes until their end.
void scanAll(Reader &reader, const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    reader.scan.setInput(&buffer);
    reader.scan.cycle_scan();
}

struct InputCase {
    const char *name;
    QByteArray bytes;
    SentList frames;
    int longLineErrors;
};

void PrintTo(const InputCase &c, std::ostream *os) { *os << c.name; }

QByteArray repeated(int count, char c) { return QByteArray(count, c); }

// A valid command padded with trailing spaces to exactly `length` bytes.
QByteArray paddedOpen(int length) { return "open 7" + repeated(length - 6, ' '); }

class DeviceInput : public ::testing::TestWithParam<InputCase>
{
};

TEST_P(DeviceInput, ExecutesEachLineAndStopsAtTheEnd)
{
    const InputCase &c = GetParam();
    Reader reader(false);
    scanAll(reader, c.bytes);
    EXPECT_EQ(reader.sent(0), c.frames);
    const QStringList err = reader.capture.err();
    ASSERT_EQ(err.size(), c.longLineErrors + 1) << err.join(QLatin1Char('\n'));
    for (int i = 0; i < c.longLineErrors; ++i)
        EXPECT_TRUE(err.at(i).startsWith(QStringLiteral("#ERROR"))) << err.at(i);
    EXPECT_FALSE(err.last().startsWith(QStringLiteral("#ERROR"))) << err.last();
}

INSTANTIATE_TEST_SUITE_P(
    Console, DeviceInput,
    ::testing::Values(
        InputCase{"Empty", {}, {}, 0},
        InputCase{"NewlineEnds", "25\ndial 300\n", {openDoor(5), dial(300)}, 0},
        InputCase{"CarriageReturnNewlineEnds", "25\r\ndial 300\r\n", {openDoor(5), dial(300)}, 0},
        InputCase{"LastLineWithoutEnd", "drop\n41", {audioOff, dropCall, dial(1)}, 0},
        InputCase{"OverLongLineIsSkipped", repeated(5000, 'x') + "\n25\n", {openDoor(5)}, 1},
        InputCase{"OverLongCommandIsSkipped", paddedOpen(5000) + "\r\n41\n", {dial(1)}, 1},
        InputCase{"LongestLineIsKept", paddedOpen(4096) + "\n41\n", {openDoor(7), dial(1)}, 0},
        InputCase{"LongestLineIsKeptWithCarriageReturn", paddedOpen(4096) + "\r\n41\r\n",
                  {openDoor(7), dial(1)}, 0},
        InputCase{"OneByteTooLong", paddedOpen(4097) + "\n41\n", {dial(1)}, 1},
        InputCase{"OneByteTooLongWithCarriageReturn", paddedOpen(4097) + "\r\n41\n", {dial(1)},
                  1},
        InputCase{"ManyLongLinesInARow",
                  repeated(9000, 'y') + "\n" + repeated(4098, 'z') + "\n" + "25\n", {openDoor(5)}, 2},
        InputCase{"OverLongLastLineWithoutEnd", "25\n" + repeated(10000, 'x'), {openDoor(5)}, 1},
        // A byte order mark is no part of a line; other bytes that are not UTF-8 stay in it.
        InputCase{"BytesThatAreNotUtf8", "\xef\xbb\xbf" "25\n\xff\xfe\n41\xc0\n41\n",
                  {openDoor(5), dial(1)}, 0}),
    [](const ::testing::TestParamInfo<InputCase> &info) { return std::string(info.param.name); });

}  // namespace
