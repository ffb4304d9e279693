// The transfer loop, one cycle at a time against a scripted bus: which shields are served and how
// they are selected, what a shield receives in which cycle, long packets and the frame-size
// rhythm of an unanswered audio command, event echoes and repeats, link loss with its console
// lines, replies outside the acknowledgement, bad frames, bootloader bytes and the hand-off, and
// the reset done when the transfer thread stops.
#include "base/capturewire.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/capturering.h"
#include "link/crc16.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/spitransmitter.h"
#include "link/threadspitransmitter.h"
#include "shield/spiparsers.h"
#include "sim/shieldmodel.h"
#include "support/consolecapture.h"
#include "support/shieldlinks.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QStringList>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

std::string hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toStdString();
}

Lines linesOf(const QStringList &list)
{
    Lines lines;
    for (const QString &line : list)
        lines.push_back(line.toStdString());
    return lines;
}

// A short frame as a shield or the driver puts it on the bus, CRC included.
QByteArray framed(quint8 b0, quint8 code, quint8 b2 = 0, quint8 b3 = 0, quint8 b4 = 0,
                  quint8 b5 = 0)
{
    QByteArray frame = Frame::compose(code, b2, b3, b4, b5);
    frame[0] = static_cast<char>(b0);
    CRC16().buf_crc_add(frame, 6);
    return frame;
}

QByteArray silence(int size)
{
    QByteArray bytes(size, '\0');
    Frame::fillSilence(bytes, 0);
    return bytes;
}

const QByteArray idle(8, '\0');

// Records every chip-select write and every transfer in order. A transfer is answered for the
// shield whose chip select was written last: from that shield's queue of replies (cut or padded
// with zeros to the transfer's length), or, when the queue is empty, by the shield's model if it
// has one, else with its fill byte (0 unless set). A model sees every transfer, so a scripted
// reply stands for its answer lost on the bus. One mutex guards everything, so a running transfer
// thread may use it.
class ScriptedBoard : public Board
{
public:
    struct Event {
        bool chipSelect;
        quint8 shield;
        quint8 level;     // chip select
        QByteArray sent;  // transfer
    };

    // The transfer thread asks for the board's held-back failure reports after every cycle.
    void flushReports() override { ++flushes; }
    std::atomic<int> flushes{0};

    void reply(quint8 shield, const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies[shield].append(bytes);
    }
    void attach(quint8 shield, ShieldModel *model)
    {
        std::lock_guard<std::mutex> lock(mutex);
        models[shield] = model;
    }
    void setFill(quint8 shield, quint8 byte)
    {
        std::lock_guard<std::mutex> lock(mutex);
        fill[shield] = byte;
    }
    QList<Event> events() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }
    // The bytes sent to one shield, one entry per transfer.
    QList<QByteArray> sentTo(quint8 shield) const
    {
        QList<QByteArray> sent;
        for (const Event &e : events()) {
            if (!e.chipSelect && e.shield == shield)
                sent.append(e.sent);
        }
        return sent;
    }
    int transferCount() const
    {
        int count = 0;
        for (const Event &e : events())
            count += e.chipSelect ? 0 : 1;
        return count;
    }
    // "cs 2=1" for a chip-select write, "spi 2: 0a 60 ..." for a transfer.
    static std::string text(const Event &e)
    {
        const std::string shield = std::to_string(e.shield);
        if (e.chipSelect)
            return "cs " + shield + "=" + std::to_string(e.level);
        return "spi " + shield + ": " + hex(e.sent);
    }

    void spi_set_cs(quint8 shield, quint8 level) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.append({true, shield, level, QByteArray()});
        if (shield < 6)
            selected = shield;
    }
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.append(
            {false, selected, 0, QByteArray(reinterpret_cast<const char *>(buffer), length)});
        const QByteArray sent(reinterpret_cast<const char *>(buffer), length);
        QByteArray answer = models[selected]
                                ? models[selected]->transfer(sent)
                                : QByteArray(length, static_cast<char>(fill[selected]));
        if (!replies[selected].isEmpty())
            answer = replies[selected].takeFirst().left(length);
        answer.append(QByteArray(length - answer.size(), '\0'));
        std::memcpy(received, answer.constData(), length);
    }

private:
    mutable std::mutex mutex;
    QList<Event> recorded;
    std::array<QList<QByteArray>, 6> replies;
    std::array<quint8, 6> fill{};
    std::array<ShieldModel *, 6> models{};
    quint8 selected = 0;
};

// One transfer loop with real settings, link records, command builder and parsers over a
// scripted bus; what the parsers and the loop signal is recorded.
class Rig : public ShieldLinks
{
public:
    explicit Rig(bool multiShield, const QStringList &options = {})
    {
        settings.parse((multiShield ? QStringList{"x", "-multishield"} : QStringList{"x"}) +
                       options);
        console.clear();  // the intercom warnings of the command line
        parsers = std::make_unique<SPIparsers>(&settings, nullptr, &command);
        QObject::connect(parsers.get(), &SPIparsers::udp_write, [this](quint8 shield, QByteArray data) {
            udp.append({shield, data});
        });
        QObject::connect(parsers.get(), &SPIparsers::play_sound, [this](bool on, quint8 shield) {
            plays.append({on, shield});
        });
        transmitter.reset(
            new SPItransmitter(nullptr, &settings, parsers.get(), pointers, &board, &mutex));
        transmitter->setCapture(&capture);
        QObject::connect(transmitter.get(), &SPItransmitter::emergency_restart,
                         [this] { ++restarts; });
    }

    void cycles(int count)
    {
        for (int i = 0; i < count; ++i)
            transmitter->main_func();
    }
    QList<QByteArray> sent(quint8 shield = 0) const { return board.sentTo(shield); }
    Lines out() const { return linesOf(console.out()); }

    ConsoleCapture console;
    ScriptedBoard board;
    PiMutex mutex;
    CaptureTap capture;  // nobody captures unless a test opens it
    std::unique_ptr<SPIparsers> parsers;
    std::unique_ptr<SPItransmitter> transmitter;

    int restarts = 0;
    QList<QPair<quint8, QByteArray>> udp;
    QList<QPair<bool, quint8>> plays;
};

// ---- Which shields are served, and the chip-select levels ----

TEST(TransferLoop, ServesOnlyTheConfiguredShieldsWithTheModesChipSelectLevels)
{
    struct Case {
        const char *name;
        bool multiShield;
        quint8 served;
        int select;
        int release;
    };
    for (const Case &c :
         {Case{"single shield", false, 1, 0, 1}, Case{"multi-shield", true, 6, 1, 0}}) {
        SCOPED_TRACE(c.name);
        Rig rig(c.multiShield);
        for (quint8 s = 0; s < 6; ++s)
            rig.command.command_ping_1(s);
        // A pickup event left in the records of the shields that are not served.
        for (quint8 s = c.served; s < 6; ++s)
            rig.links[s].rx_frame = framed(0x8A, 0x81);

        rig.cycles(1);

        Lines expected;
        for (quint8 s = 0; s < c.served; ++s) {
            const std::string shield = std::to_string(s);
            expected.push_back("cs " + shield + "=" + std::to_string(c.select));
            expected.push_back("spi " + shield + ": 0a 60 00 00 00 00 b9 80");
            expected.push_back("cs " + shield + "=" + std::to_string(c.release));
        }
        Lines log;
        for (const ScriptedBoard::Event &e : rig.board.events())
            log.push_back(ScriptedBoard::text(e));
        EXPECT_EQ(log, expected);
        for (quint8 s = 0; s < 6; ++s) {
            EXPECT_EQ(rig.links[s].direct_queue->size(), s < c.served ? 0 : 1) << int(s);
            EXPECT_EQ(rig.links[s].event_ack_queue->size(), 0) << int(s);
        }
        EXPECT_EQ(rig.out(), Lines{});
    }
}

// ---- What a shield receives, cycle by cycle ----

TEST(TransferLoop, PingGoesFirstThenTheEventEchoThenTheCommand)
{
    Rig rig(false);
    rig.command.command_ping_1(0);
    const QByteArray event = framed(0x8A, 0x81);
    rig.links[0].event_ack_queue->append(event);
    rig.command.command_open(0, 1);

    rig.cycles(3);

    const QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(hex(sent[0]), "0a 60 00 00 00 00 b9 80");
    EXPECT_EQ(hex(sent[1]), hex(event));
    EXPECT_EQ(hex(sent[2]), hex(framed(0x8A, 0x20, 0, 0, 0, 1)));

    // A first ping waits while a command awaits its reply: the shield forgets its last command
    // at the ping. Its reply to a door opening is lost on the bus while a ping is due, and the
    // door still opens once.
    Rig modelled(false);
    ShieldModel shield;
    modelled.board.attach(0, &shield);
    modelled.command.command_open(0, 3);
    modelled.board.reply(0, QByteArray());  // the answer to the command's transfer: nothing yet
    modelled.board.reply(0, idle);          // the echo, lost
    modelled.cycles(1);
    modelled.command.command_ping_1(0);
    modelled.cycles(20);
    QStringList done;
    for (const QByteArray &frame : shield.executedCommands())
        done << ShieldModel::describeCommand(frame);
    EXPECT_EQ(done, QStringList({"open door 3", "ping 1"}));
    EXPECT_EQ(modelled.links[0].out_error->getTxState(), SpiOutErrorController::TX_IDLE);
}

TEST(TransferLoop, CommandsWaitWithIdleFramesAndEachAcceptedReplyLetsTheNextGoWithTheOtherToggle)
{
    Rig rig(false);
    rig.command.command_open(0, 1);
    rig.command.command_dial(0, 300);
    rig.command.command_open(0, 2);
    const QByteArray first = framed(0x8A, 0x20, 0, 0, 0, 1);
    const QByteArray second = framed(0x0A, 0x13, 0, 0, 0x01, 0x2C);
    const QByteArray third = framed(0x8A, 0x20, 0, 0, 0, 2);
    // The shield echoes each command one cycle after it came.
    rig.board.reply(0, QByteArray());
    rig.board.reply(0, first);
    rig.board.reply(0, QByteArray());
    rig.board.reply(0, second);

    rig.cycles(5);

    const QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 5);
    EXPECT_EQ(hex(sent[0]), hex(first));
    EXPECT_EQ(hex(sent[1]), hex(idle));
    EXPECT_EQ(hex(sent[2]), hex(second));
    EXPECT_EQ(hex(sent[3]), hex(idle));
    EXPECT_EQ(hex(sent[4]), hex(third));
}

TEST(TransferLoop, ReplyWithPingCodeIsParsedAndTheOutstandingCommandKeepsWaiting)
{
    Rig rig(false);
    rig.command.command_open(0, 1);
    rig.board.reply(0, QByteArray());
    rig.board.reply(0, framed(0x0A, 0x60));

    rig.cycles(2);
    EXPECT_TRUE(rig.settings.shieldState[0].ping1Response.load());
    EXPECT_EQ(rig.links[0].out_error->getTxState(), SpiOutErrorController::TX_WAIT_REPLY);
    EXPECT_EQ(rig.links[0].out_error->getErrorCount(), 0);

    // Neither acknowledged nor counted as an error: the repeat comes with the time-out.
    rig.cycles(4);
    const QByteArray first = framed(0x8A, 0x20, 0, 0, 0, 1);
    const QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 6);
    EXPECT_EQ(hex(sent[0]), hex(first));
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(hex(sent[i]), hex(idle)) << "cycle " << i + 1;
    EXPECT_EQ(hex(sent[5]), hex(first));
}

TEST(TransferLoop, FrameWithBadCrcIsDroppedAndOnlyCountedAsBad)
{
    struct Case {
        const char *name;
        bool commandOutstanding;
        QByteArray good;
    };
    const Case cases[] = {
        {"event", false, framed(0x8A, 0x81)},
        {"reply", true, framed(0x8A, 0x20, 0, 0, 0, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(false);
        if (c.commandOutstanding)
            rig.command.command_open(0, 1);
        QByteArray bad = c.good;
        bad[7] = static_cast<char>(bad[7] ^ 0x01);
        rig.board.reply(0, QByteArray());
        rig.board.reply(0, bad);

        rig.cycles(3);

        const QList<QByteArray> sent = rig.sent();
        ASSERT_EQ(sent.size(), 3);
        EXPECT_EQ(hex(sent[0]), hex(c.commandOutstanding ? c.good : idle));
        EXPECT_EQ(hex(sent[1]), hex(idle));
        EXPECT_EQ(hex(sent[2]), hex(idle));  // no echo, no early repeat
        EXPECT_EQ(rig.links[0].out_error->getErrorCount(), 0);
        EXPECT_EQ(rig.links[0].out_error->getTxState(), c.commandOutstanding
                                                            ? SpiOutErrorController::TX_WAIT_REPLY
                                                            : SpiOutErrorController::TX_IDLE);
        EXPECT_EQ(int(rig.links[0].in_error->repeat_count), 0);
        EXPECT_EQ(rig.out(), Lines{});
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.frames), 1u);
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.bad_frames), 1u);
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.tx_errors), 0u);
    }
}

TEST(TransferLoop, EveryReplyThatIsNotNothingCountsAsAFrameAndTheDroppedOnesAsBad)
{
    const QByteArray bad = [] {
        QByteArray frame = framed(0x0A, 0x81);
        frame[6] = static_cast<char>(frame[6] ^ 0x10);
        return frame;
    }();
    struct Case {
        const char *name;
        QByteArray reply;
        quint64 frames;
        quint64 badFrames;
    };
    const Case cases[] = {
        {"nothing to say", idle, 0, 0},
        {"an undriven line", QByteArray(8, '\xff'), 0, 0},
        {"an event", framed(0x8A, 0x81), 1, 0},
        {"a ping reply", framed(0x0A, 0x60), 1, 0},
        {"a bad CRC", bad, 1, 1},
        {"a start byte that is none", QByteArray::fromHex("3781000000001234"), 1, 1},
        {"noise after a zero start byte", QByteArray::fromHex("0000004000000000"), 1, 1},
        {"ones but one", QByteArray::fromHex("ffffffffff7fffff"), 1, 1},
        {"a bootloader ACK", QByteArray::fromHex("7900000000000000"), 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(false);
        rig.board.reply(0, c.reply);
        rig.cycles(2);
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.exchanges), 2u) << "whatever came";
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.frames), c.frames);
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.bad_frames), c.badFrames);
        EXPECT_EQ(LinkCounters::read(rig.links[0].counters.tx_errors) +
                      LinkCounters::read(rig.links[0].counters.rx_errors),
                  0u);
    }
}

// ---- Long packets ----

TEST(TransferLoop, LongPacketCarriesQueuedAudioOrSilenceBehindTheControlFrame)
{
    Rig rig(false);
    rig.links[0].set_long_packet(true);
    rig.command.command_open(0, 1);

    rig.cycles(1);  // no audio queued: silence
    QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 1);
    ASSERT_EQ(sent[0].size(), 528);
    EXPECT_EQ(hex(sent[0].left(8)), hex(framed(0x8A, 0x20, 0, 0, 0, 1)));
    EXPECT_EQ(hex(sent[0].mid(8)), hex(silence(520)));

    QByteArray packet(528, '\0');
    for (int i = 8; i < 520; ++i)
        packet[i] = static_cast<char>(i * 7);
    rig.links[0].audio_queue->append(packet);
    rig.command.command_reboot_shield(0);
    rig.cycles(1);  // the direct frame lands in bytes 0 to 7 of the queued packet
    QByteArray expected = packet;
    expected.replace(0, 8, framed(0x0A, 0x62));
    sent = rig.sent();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(hex(sent[1]), hex(expected));

    rig.links[0].audio_queue->append(packet);
    rig.cycles(1);  // the command still waits: idle control frame, the packet as it came
    sent = rig.sent();
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(hex(sent[2]), hex(packet));
    EXPECT_EQ(rig.links[0].audio_queue->size(), 0);
}

TEST(TransferLoop, AudioPlayOnSwitchesToLongPacketsFromTheNextCycleAndAudioFlowsFromItsOwn)
{
    Rig rig(false);
    rig.cycles(1);
    EXPECT_TRUE(rig.udp.isEmpty());

    rig.command.command_audio_play(0, true);
    const QByteArray play = framed(0x8A, 0x40, 0, 0, 0, 1);
    QByteArray answer(528, '\0');
    answer.replace(0, 8, play);  // the shield acknowledges in its first long packet
    for (int i = 8; i < 528; ++i)
        answer[i] = static_cast<char>(i);
    rig.board.reply(0, QByteArray());
    rig.board.reply(0, answer);

    rig.cycles(1);  // cycle N
    QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(hex(sent[1]), hex(play));
    ASSERT_EQ(rig.udp.size(), 1);
    EXPECT_EQ(rig.udp[0].first, 0);
    EXPECT_EQ(hex(rig.udp[0].second), hex(silence(512)));

    rig.cycles(1);  // cycle N+1
    sent = rig.sent();
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent[2].size(), 528);
    EXPECT_EQ(hex(sent[2].left(8)), hex(idle));
    ASSERT_EQ(rig.udp.size(), 2);
    EXPECT_EQ(hex(rig.udp[1].second), hex(answer.mid(8, 512)));
    EXPECT_EQ(rig.plays, (QList<QPair<bool, quint8>>{{true, 0}}));

    rig.cycles(1);
    EXPECT_EQ(rig.sent().last().size(), 528);
}

TEST(TransferLoop, UnansweredAudioPlayOnAlternatesFrameSizeShortLongLong)
{
    Rig rig(false);
    rig.command.command_audio_play(0, true);
    const QByteArray play = framed(0x8A, 0x40, 0, 0, 0, 1);

    rig.cycles(31);

    std::vector<std::pair<int, int>> sends;  // (cycle, bytes)
    const QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 31);
    for (int i = 0; i < sent.size(); ++i) {
        if (sent[i].left(8) == play)
            sends.emplace_back(i + 1, sent[i].size());
        else
            EXPECT_EQ(hex(sent[i].left(8)), hex(idle)) << "cycle " << i + 1;
    }
    const std::vector<std::pair<int, int>> expected = {{1, 8},    {6, 528},  {11, 528}, {16, 8},
                                                       {21, 528}, {26, 528}, {31, 8}};
    EXPECT_EQ(sends, expected);
}

// Each shield's block leaves as soon as its own exchange is over, not after the cycle's last
// one; in the cycle whose audio-off command goes out the shield forwards nothing, as before.
TEST(TransferLoop, EachShieldsAudioLeavesRightAfterItsOwnExchange)
{
    Rig rig(true);
    std::vector<std::pair<int, int>> left;  // (shield, transfers made when its block left)
    QObject::connect(rig.parsers.get(), &SPIparsers::udp_write, [&](quint8 shield, QByteArray) {
        left.emplace_back(shield, rig.board.transferCount());
    });
    for (quint8 s : {0, 1, 3})
        rig.links[s].set_long_packet(true);
    rig.command.command_audio_play(1, false);

    rig.cycles(2);

    const std::vector<std::pair<int, int>> expected = {{0, 1}, {3, 4}, {0, 7}, {3, 10}};
    EXPECT_EQ(left, expected);
    EXPECT_EQ(LinkCounters::read(rig.links[3].counters.audio_blocks_out), 2u);
    EXPECT_EQ(LinkCounters::read(rig.links[1].counters.audio_blocks_out), 0u);
}

// Six calls at 1,562,500 Hz need 16.22 ms of bus in a 16 ms cycle: said once on standard error,
// and shown while it lasts. A faster clock carries them.
TEST(TransferLoop, BusFullWhileTheCallsNeedMoreBusThanACycleHas)
{
    struct Row {
        QStringList options;
        int fit;  // audio packets a cycle holds at the clock
        int calls;
        bool full;
    };
    const Row rows[] = {
        {{}, 5, 5, false},
        {{}, 5, 6, true},
        {{"-spi-hz", "2000000"}, 7, 6, false},
        {{"-spi-hz", "250000"}, 0, 1, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.options.join(' ').toStdString() + " " + std::to_string(row.calls));
        Rig rig(true, row.options);
        EXPECT_EQ(rig.transmitter->busBudget().longPacketsPerCycle(), row.fit);
        for (int s = 0; s < row.calls; ++s)
            rig.links[s].set_long_packet(true);
        rig.cycles(3);
        EXPECT_EQ(rig.transmitter->busBudget().full(), row.full);
        EXPECT_EQ(rig.console.err().size(), row.full ? 1 : 0);
    }

    Rig rig(true);
    for (int s = 0; s < 6; ++s)
        rig.links[s].set_long_packet(true);
    rig.cycles(1);
    EXPECT_EQ(linesOf(rig.console.err()),
              Lines{"#WARNING: SPI bus full: 6 calls need 16.22 ms of bus in each 16 ms transfer "
                    "cycle at 1562500 Hz, where 5 audio packets fit: the cycle runs long and "
                    "every call's audio falls behind (-spi-hz sets a faster clock, if the "
                    "shields take it)"});
    // A call ends and another begins soon after: the state follows, the line is not repeated.
    rig.links[5].set_long_packet(false);
    rig.cycles(1);
    EXPECT_FALSE(rig.transmitter->busBudget().full());
    rig.links[5].set_long_packet(true);
    rig.cycles(1);
    EXPECT_TRUE(rig.transmitter->busBudget().full());
    EXPECT_EQ(rig.console.err().size(), 1);
}

// ---- Events and the error reports ----

TEST(TransferLoop, RepeatedEventIsParsedOnceEchoedEachTimeAndReportedAsRxError)
{
    Rig rig(false);
    const QByteArray event = framed(0x8A, 0x81);
    const QByteArray next = framed(0x0A, 0x81);  // the shield's next event: toggle bit flipped
    rig.board.reply(0, event);
    rig.board.reply(0, event);
    rig.board.reply(0, next);

    rig.cycles(4);
    EXPECT_EQ(rig.out(), (Lines{"pickup", "pickup"}));
    const QList<QByteArray> sent = rig.sent();
    ASSERT_EQ(sent.size(), 4);
    EXPECT_EQ(hex(sent[0]), hex(idle));
    EXPECT_EQ(hex(sent[1]), hex(event));
    EXPECT_EQ(hex(sent[2]), hex(event));
    EXPECT_EQ(hex(sent[3]), hex(next));

    rig.cycles(311 - 4);
    EXPECT_EQ(rig.out(), (Lines{"pickup", "pickup"}));
    rig.cycles(1);  // the 312th cycle reports
    EXPECT_EQ(rig.out(), (Lines{"pickup", "pickup", "0 WARNING: SPI: RX errors: 1"}));
    rig.cycles(312);  // the count was cleared by the report
    EXPECT_EQ(rig.out().size(), 3u);
}

TEST(TransferLoop, WhileTheHostIsBehindNewEventsStayWithTheShieldAndAreTakenOnceAfterwards)
{
    Rig rig(false);
    const QByteArray taken = framed(0x8A, 0x81);
    const QByteArray held = framed(0x0A, 0x82);
    for (const QByteArray &offer : {taken, taken, held, held, held})
        rig.board.reply(0, offer);

    rig.cycles(1);  // the host reads: the first event is taken
    Console::LineStream host(-1, -1);  // then falls behind: more than its bound (none) waits
    rig.transmitter->setHostOutput(&host);
    rig.cycles(2);  // its acknowledgement, lost, then its repeat: acknowledged again
    rig.command.command_open(0, 1);
    rig.cycles(1);  // the next event is left with the shield; commands go on
    EXPECT_EQ(rig.out(), (Lines{"pickup"}));

    host.setBound(Console::LineStream::outBound);  // and has caught up
    rig.cycles(2);  // offered again, it is taken and acknowledged
    EXPECT_EQ(rig.out(), (Lines{"pickup", "open"}));
    EXPECT_EQ(rig.sent(),
              (QList<QByteArray>{idle, taken, taken, framed(0x8A, 0x20, 0, 0, 0, 1), idle, held}));
    // Withheld offers are no link errors: only the genuine repeat counts.
    EXPECT_EQ(LinkCounters::read(rig.links[0].counters.events), 2u);
    EXPECT_EQ(LinkCounters::read(rig.links[0].counters.rx_errors), 1u);
    EXPECT_EQ(rig.links[0].in_error->repeat_count.load(), 1);
}

TEST(TransferLoop, SilentShieldIsRepeatedReportedAndDisconnected)
{
    struct Case {
        const char *name;
        bool multiShield;
        quint8 shield;
        ShieldState::State state;
        Lines lines;
    };
    const Case cases[] = {
        {"online, single shield",
         false,
         0,
         ShieldState::STATE_ONLINE,
         {"0 WARNING: SPI: TX errors: 62", "0 WARNING: SPI: TX errors: 62",
          "0 WARNING: SPI: TX errors: 26", "shield_disconect", ""}},
        {"online, multi-shield",
         true,
         3,
         ShieldState::STATE_ONLINE,
         {"3 WARNING: SPI: TX errors: 62", "3 WARNING: SPI: TX errors: 62",
          "3 WARNING: SPI: TX errors: 26", "3 shield_disconect", ""}},
        {"initialising",
         false,
         0,
         ShieldState::STATE_INIT,
         {"0 WARNING: SPI: TX errors: 62", "0 WARNING: SPI: TX errors: 62"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.multiShield);
        rig.settings.shieldState[c.shield].setState(c.state);
        rig.command.command_open(c.shield, 1);
        const QByteArray command = framed(0x8A, 0x20, 0, 0, 0, 1);

        // 150 repeats, five cycles apart, each the same bytes; idle frames in between.
        rig.cycles(755);
        QList<QByteArray> sent = rig.sent(c.shield);
        ASSERT_EQ(sent.size(), 755);
        std::vector<int> sendCycles;
        for (int i = 0; i < sent.size(); ++i) {
            if (sent[i] == idle)
                continue;
            EXPECT_EQ(hex(sent[i]), hex(command)) << "cycle " << i + 1;
            sendCycles.push_back(i + 1);
        }
        std::vector<int> expectedCycles;
        for (int cycle = 1; cycle <= 751; cycle += 5)
            expectedCycles.push_back(cycle);
        EXPECT_EQ(sendCycles, expectedCycles);
        EXPECT_FALSE(rig.links[c.shield].get_skip_flag());

        rig.cycles(1);  // the 151st error: nothing is sent, the shield is taken out
        EXPECT_EQ(rig.sent(c.shield).size(), 755);
        EXPECT_EQ(rig.out(), c.lines);
        EXPECT_TRUE(rig.links[c.shield].get_skip_flag());
        EXPECT_EQ(rig.settings.shieldState[c.shield].getState(), ShieldState::STATE_OFFLINE);

        rig.cycles(1);
        EXPECT_EQ(rig.sent(c.shield).size(), 755);
    }
}

// ---- Bootloader bytes ----

TEST(TransferLoop, BootloaderAckOrNackByteAsksForOneRestartPerShieldAndCycle)
{
    Rig rig(true);
    rig.board.reply(1, QByteArray(8, char(0x79)));
    rig.board.reply(4, QByteArray(8, char(0x1F)));
    rig.board.reply(1, QByteArray(8, char(0x79)));

    rig.cycles(1);
    EXPECT_EQ(rig.restarts, 2);
    rig.cycles(1);
    EXPECT_EQ(rig.restarts, 3);
    rig.cycles(1);
    EXPECT_EQ(rig.restarts, 3);
    EXPECT_EQ(rig.links[1].event_ack_queue->size(), 0);
    EXPECT_EQ(rig.out(), Lines{});
}

TEST(TransferLoop, BootloaderSignHandsTheShieldOverBetweenReleasedChipSelects)
{
    struct Case {
        const char *name;
        bool multiShield;
        quint8 shield;
        quint8 answer;  // what the bootloader answers to every byte
        quint8 select;
        quint8 release;
        bool go;  // init acknowledged, so the Go command follows
    };
    const Case cases[] = {
        {"single shield", false, 0, 0x79, 0, 1, true},
        {"multi-shield", true, 2, 0x79, 1, 0, true},
        {"no acknowledge", false, 0, 0x00, 0, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.multiShield);
        QByteArray sign(8, '\0');
        sign[0] = static_cast<char>(0xA5);
        rig.board.reply(c.shield, sign);
        rig.board.setFill(c.shield, c.answer);
        CaptureRing *ring = rig.capture.open();

        rig.cycles(1);

        // A capture holds every transfer with the shield, the hand-off's bytes too.
        QList<QByteArray> captured;
        const char to[] = {char(c.shield), char(CaptureWire::toShield)};
        for (QByteArray record; ring->take(&record);) {
            if (record.mid(CaptureWire::headerSize, 2) == QByteArray(to, 2))
                captured << record.mid(CaptureWire::headerSize + CaptureWire::busBytesAt);
        }
        EXPECT_EQ(captured, rig.sent(c.shield));

        // The frame exchanges of every served shield come first; the hand-off follows them.
        const int served = c.multiShield ? 6 : 1;
        const QList<ScriptedBoard::Event> events = rig.board.events().mid(3 * served);
        ASSERT_GE(events.size(), 4);
        Lines chipSelects;
        QStringList transfers;
        for (const ScriptedBoard::Event &e : events) {
            EXPECT_EQ(e.shield, c.shield);
            if (e.chipSelect)
                chipSelects.push_back(ScriptedBoard::text(e));
            else
                transfers << QString::fromLatin1(e.sent.toHex(' '));
        }
        const std::string shield = std::to_string(c.shield);
        const std::string select = "cs " + shield + "=" + std::to_string(c.select);
        const std::string release = "cs " + shield + "=" + std::to_string(c.release);
        EXPECT_EQ(chipSelects, (Lines{release, select, release}));
        EXPECT_EQ(ScriptedBoard::text(events[1]), select);
        EXPECT_EQ(ScriptedBoard::text(events.last()), release);
        ASSERT_FALSE(transfers.isEmpty());
        EXPECT_EQ(transfers.first(), "5a");
        const int go = transfers.indexOf("5a 21 de");
        const int address = transfers.indexOf("08 00 00 00 08");
        if (c.go) {
            EXPECT_GE(go, 0);
            EXPECT_GT(address, go);
        } else {
            EXPECT_EQ(go, -1);
            EXPECT_EQ(address, -1);
        }
        EXPECT_EQ(rig.restarts, 0);
        EXPECT_EQ(rig.out(), Lines{});
    }
}

// ---- The transfer thread ----

bool waitUntil(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(TransferThread, StopEndsTheCyclesAndResetsLinkRecordsButKeepsQueuedFrames)
{
    ConsoleCapture console;
    Settings settings;
    settings.parse(QStringList{"x"});
    std::array<SPIconnector, 6> links;
    SPIconnector *pointers[6] = {&links[0], &links[1], &links[2], &links[3], &links[4], &links[5]};
    SPIcommand command(pointers, &settings);
    ScriptedBoard board;
    PiMutex mutex;
    SPIparsers parsers(&settings, nullptr, &command);
    ThreadSpiTransmitter thread(1, &settings, &parsers, pointers, &board, &mutex);

    // Shield 3 is not served in single-shield mode: only the reset can change its record.
    SPIconnector &link = links[3];
    link.set_skip_flag(true);
    link.set_long_packet(true);
    link.set_long_packet(true);
    link.out_error->set_bit_order(0x0A);
    link.out_error->transmit_buffr(framed(0x8A, 0x20, 0, 0, 0, 1));
    link.out_error->get_type_translate(true);
    link.out_error->repeat_count = 3;
    link.in_error->isRepeat(0x8A);
    link.in_error->isRepeat(0x8A);
    command.command_open(3, 1);
    command.command_ping_1(3);
    link.event_ack_queue->append(framed(0x8A, 0x81));
    link.audio_queue->append(QByteArray(528, '\x01'));

    thread.start();
    ASSERT_TRUE(waitUntil([&] { return board.transferCount() >= 3; }));
    EXPECT_TRUE(waitUntil([&] { return board.flushes >= 2; }));
    thread.stop();
    EXPECT_TRUE(thread.isFinished());
    const int transfers = board.transferCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(board.transferCount(), transfers);

    EXPECT_FALSE(link.get_skip_flag());
    EXPECT_FALSE(link.get_long_packet());
    EXPECT_EQ(int(link.long_packet_repeats), 0);
    EXPECT_EQ(link.out_error->getTxState(), SpiOutErrorController::TX_IDLE);
    EXPECT_EQ(link.out_error->getErrorCount(), 0);
    EXPECT_EQ(int(link.out_error->repeat_count), 0);
    EXPECT_EQ(hex(link.out_error->lastFrameBytes()), hex(idle));
    EXPECT_EQ(link.out_error->set_bit_order(0x0A), 0x8A);  // the toggle starts over
    EXPECT_FALSE(link.in_error->isRepeat(0x8A));
    EXPECT_EQ(int(link.in_error->repeat_count), 0);

    EXPECT_EQ(link.command_queue->size(), 1);
    EXPECT_EQ(link.direct_queue->size(), 1);
    EXPECT_EQ(link.event_ack_queue->size(), 1);
    EXPECT_EQ(link.audio_queue->size(), 1);
}

}  // namespace
