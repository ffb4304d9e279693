// Received frames: the transfer loop against a bus whose shields answer with the fuzzer's bytes,
// any 8 or 528 bytes from any shield, cycle after cycle, against live link and shield records.
//
// Input: byte 0 sets the world up (bit 0 several shields, bits 1-6 the shields in service, bit 7
// the address gate); byte 1 sets the skip flags (bits 0-5) and long packets for every shield
// (bit 6). Then operations, each chosen by one byte mod 8:
//   0-2  one transfer cycle; every transfer is answered from the input: a mode byte (raw bytes,
//        bytes with a valid CRC, the acknowledgement of the outstanding command, an event frame)
//        and its bytes; long packets carry a pattern after their first 8 bytes; past the end of
//        the input the shields answer zeros;
//   3    a run of 8 to 256 cycles (one byte) in which the shields stay mute (answer zeros), for
//        time-outs, reports and link loss;
//   4    a command queued through the command builder (shield, command, arguments);
//   5    a 528-byte packet of host audio queued for a shield;
//   6    what the supervisor does to a shield: state online, offline or init, the reset of its
//        link record, or its skip flag flipped;
//   7    the event loop runs once, so the watchdog timers may fire.
//
// After every cycle: each shield served got exactly one transfer, selected alone, and none stays
// selected; each sent frame is idle or a whole frame with a valid CRC; it is the direct frame or
// event echo due (a first ping waits while a command awaits its reply), or the next queued
// command with the next toggle bit (only once the previous one was answered), or a repeat of the
// outstanding command; host audio goes out in order; the shield audio sent to UDP is exactly what
// the shield sent; valid events are echoed; queues grow by one frame at most; every console line
// is whole and one of the driver's own. A small capture ring takes every transfer, whole and in
// order, but for those it has no room for, which it counts.

#include "fuzzsupport.h"

#include "base/capturewire.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/capturering.h"
#include "link/crc16.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/spitransmitter.h"
#include "shield/spiparsers.h"

#include <QCoreApplication>
#include <QHash>
#include <QRegularExpression>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

const int shields = 6;
const CRC16 crc;

QByteArray withCrc(QByteArray frame) {
    frame.resize(Frame::shortSize);
    crc.buf_crc_add(frame, Frame::controlSize);
    return frame;
}

bool crcValid(const QByteArray &frame) {
    return crc.buf_crc_comparision(frame, Frame::controlSize);
}

// The silence filler, made once per size (the checks compare against it in every cycle).
const QByteArray &silence(int size) {
    static QHash<int, QByteArray> made;
    auto found = made.find(size);
    if (found == made.end()) {
        QByteArray bytes(size, '\0');
        Frame::fillSilence(bytes, 0);
        found = made.insert(size, bytes);
    }
    return *found;
}

// Event codes the shields use, so that short inputs reach every branch.
const quint8 eventCodes[] = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0xE0, 0xE1, 0xE2, 0xE3};

struct Transfer {
    int shield;    // the one selected shield, or -1
    int selected;  // how many chip selects were at the select level
    QByteArray sent;
    QByteArray answer;
};

// The bus: chip-select levels as written, every transfer answered from the fuzzer's bytes.
class FuzzBus : public Board {
public:
    FuzzBus(Fuzz::Bytes &input, std::array<SPIconnector, shields> &links, quint8 selectLevel)
        : input(input), links(links), selectLevel(selectLevel) {
        levels.fill(-1);
    }

    void spi_set_cs(quint8 shield, quint8 level) override {
        FUZZ_CHECK(shield < shields, QString::number(shield));
        levels[shield] = level;
    }

    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override {
        Transfer t;
        t.shield = -1;
        t.selected = 0;
        for (int s = 0; s < shields; ++s) {
            if (levels[static_cast<size_t>(s)] == selectLevel) {
                t.shield = s;
                ++t.selected;
            }
        }
        t.sent = QByteArray(reinterpret_cast<const char *>(buffer), length);
        t.answer = answer(t.shield, length);
        std::memcpy(received, t.answer.constData(), length);
        transfers.append(t);
    }

    bool anySelected() const {
        for (int level : levels) {
            if (level == selectLevel)
                return true;
        }
        return false;
    }

    QList<Transfer> transfers;
    bool mute = false;  // every transfer answered with zeros, no input read

private:
    QByteArray answer(int shield, int length) {
        if (mute)
            return QByteArray(length, '\0');
        if (length != Frame::shortSize && length != Frame::longSize)
            return input.take(length);  // the bootloader's bytes
        const quint8 mode = input.u8();
        QByteArray frame;
        switch (mode & 3) {
            case 0:
                frame = input.take(Frame::shortSize);
                break;
            case 1:
                frame = withCrc(input.take(Frame::controlSize));
                break;
            case 2: {
                // The acknowledgement of the outstanding command, with any payload.
                QByteArray reply = input.take(Frame::controlSize);
                if (shield >= 0) {
                    const auto &last = links[static_cast<size_t>(shield)].out_error->lastFrame();
                    reply[0] = static_cast<char>(last[0]);
                    reply[1] = static_cast<char>(last[1]);
                }
                frame = withCrc(reply);
                break;
            }
            default: {
                QByteArray event = input.take(Frame::controlSize);
                event[0] = static_cast<char>(Frame::start | ((mode & 4) ? Frame::toggleBit : 0));
                const quint8 pick = static_cast<quint8>(event.at(1));
                if (pick < 0x80)
                    event[1] = static_cast<char>(eventCodes[pick % sizeof(eventCodes)]);
                frame = withCrc(event);
                break;
            }
        }
        if (length == Frame::longSize) {
            const quint8 start = input.u8();
            for (int i = Frame::shortSize; i < Frame::longSize; ++i)
                frame.append(static_cast<char>(start + i * 7));
        }
        return frame;
    }

    Fuzz::Bytes &input;
    std::array<SPIconnector, shields> &links;
    const quint8 selectLevel;
    std::array<int, shields> levels{};
};

struct LinkSnapshot {
    bool skip = false;
    bool longPacket = false;
    int txState = 0;
    QByteArray lastFrame;
    QList<QByteArray> commands;
    QList<QByteArray> direct;
    QList<QByteArray> acks;
    QList<QByteArray> audio;
};

QList<QByteArray> listOf(DataTransmission &queue) {
    std::lock_guard<PiMutex> lock(queue.mutex);
    return queue.list;
}

LinkSnapshot snapshot(SPIconnector &link) {
    LinkSnapshot snap;
    snap.skip = link.get_skip_flag();
    snap.longPacket = link.get_long_packet();
    snap.txState = link.out_error->getTxState();
    snap.lastFrame = link.out_error->lastFrameBytes();
    snap.commands = listOf(*link.command_queue);
    snap.direct = listOf(*link.direct_queue);
    snap.acks = listOf(*link.event_ack_queue);
    snap.audio = listOf(*link.audio_queue);
    return snap;
}

bool startsWith(const QList<QByteArray> &list, const QList<QByteArray> &head) {
    return list.mid(0, head.size()) == head;
}

struct World {
    World(quint8 setup, quint8 flags, Fuzz::Bytes &input) : bus(input, links, (setup & 1) ? 1 : 0) {
        for (size_t i = 0; i < links.size(); ++i)
            pointers[i] = &links[i];
        settings.multiShield = (setup & 1) != 0;
        settings.shieldCount = settings.multiShield ? 6 : 1;
        settings.lastShield = settings.multiShield ? 5 : 0;
        for (int s = 0; s < shields; ++s) {
            ShieldState &record = settings.shieldState[static_cast<size_t>(s)];
            if (setup & (2 << s))
                record.setState(ShieldState::STATE_ONLINE);
            record.setFlagAdrGate((setup & 0x80) != 0);
        }
        command.reset(new SPIcommand(pointers.data(), &settings));
        // Short watchdog intervals, so that the event loop can make them fire.
        parsers = std::make_unique<SPIparsers>(&settings, nullptr, command.get(), 50, 35, 1);
        transmitter.reset(new SPItransmitter(nullptr, &settings, parsers.get(), pointers.data(),
                                             &bus, &mutex));
        transmitter->setCapture(&capture);
        ring = capture.open(4096);
        for (int s = 0; s < shields; ++s) {
            links[static_cast<size_t>(s)].set_skip_flag((flags & (1 << s)) != 0);
            if (flags & 0x40)
                links[static_cast<size_t>(s)].set_long_packet(true);
        }
        QObject::connect(parsers.get(), &SPIparsers::udp_write,
                         [this](quint8 shield, const QByteArray &audio) {
                             sentToUdp.append(qMakePair(shield, audio));
                         });
        toggle.fill(Frame::toggleBit);
    }

    Settings settings;
    std::array<SPIconnector, shields> links;
    std::array<SPIconnector *, shields> pointers{};
    FuzzBus bus;
    PiMutex mutex;
    CaptureTap capture;
    CaptureRing *ring = nullptr;
    std::unique_ptr<SPIcommand> command;
    std::unique_ptr<SPIparsers> parsers;
    std::unique_ptr<SPItransmitter> transmitter;
    QList<QPair<quint8, QByteArray>> sentToUdp;
    // The toggle bit the next new command of each shield must carry.
    std::array<quint8, shields> toggle{};
};

void queueCommand(World &w, Fuzz::Bytes &in) {
    const quint8 shield = in.u8() % shields;
    SPIcommand &c = *w.command;
    switch (in.u8() % 14) {
        case 0:
            c.command_pickup(shield);
            break;
        case 1:
            c.command_drop(shield);
            break;
        case 2:
            c.command_dial(shield, in.u16());
            break;
        case 3:
            c.command_phone_detect(shield, in.u16());
            break;
        case 4:
            c.command_open(shield, in.u8());
            break;
        case 5:
            c.command_set_intercom(shield, in.u8());
            break;
        case 6:
            c.command_audio_play(shield, (in.u8() & 1) != 0);
            break;
        case 7:
            c.command_first(shield);
            break;
        case 8:
            c.command_ping_1(shield);
            break;
        case 9:
            c.command_ping_2(shield);
            break;
        case 10:
            c.command_reboot_shield(shield);
            break;
        case 11: {
            const quint16 high = in.u16();
            c.command_spi_loop_return(shield, quint32(high) << 16 | in.u16());
            break;
        }
        case 12:
            c.command_update_16bit_virtuallist(shield, in.u8() % 64, in.u16());
            break;
        default:
            c.command_update_16bit_blacklist(shield, in.u8() % 64, in.u16());
            break;
    }
}

void supervise(World &w, Fuzz::Bytes &in) {
    const quint8 b = in.u8();
    const size_t s = b % shields;
    ShieldState &record = w.settings.shieldState[s];
    switch ((b / shields) % 5) {
        case 0:
            record.setState(ShieldState::STATE_ONLINE);
            break;
        case 1:
            record.setState(ShieldState::STATE_OFFLINE);
            break;
        case 2:
            record.setState(ShieldState::STATE_INIT);
            break;
        case 3: {
            // The supervisor's clean-up of a lost shield: the link record back to its start.
            std::lock_guard<PiMutex> lock(w.mutex);
            w.links[s].to_null();
            w.toggle[s] = Frame::toggleBit;
            break;
        }
        default:
            w.links[s].set_skip_flag(!w.links[s].get_skip_flag());
            break;
    }
}

bool isDriverLine(const QString &line, bool multi) {
    const QString p = multi ? QStringLiteral("[0-5] ") : QString();
    const QString t = multi ? QStringLiteral(" [0-5]") : QString();
    static QRegularExpression patterns[2];
    QRegularExpression &re = patterns[multi ? 1 : 0];
    if (re.pattern().isEmpty()) {
        re.setPattern(QStringLiteral("^(") + p + QStringLiteral("(dial|keyopen) \\d+( \\d+)?|") +
                      p + QStringLiteral("(pickup|open|drop|busy|shield_disconect)|") + p +
                      QStringLiteral("phone (detected|short|shortline|pickup|notfound)|") +
                      QStringLiteral("#DEBUG") + t + QStringLiteral(": ([\\s\\S]{0,4}|\\d+)|") +
                      QStringLiteral("#ERROR") + t +
                      QStringLiteral(": (Hang loop (read dial|call|pickup|wait drop|phone "
                                     "switch|open|unknown)|Uncnown code: 0x[0-9a-f]+)|"
                                     "#ERROR: Flood dial detected! Ignore next dials\\.|"
                                     "#ERROR: Drop not detect\\. Emergency restart\\.|"
                                     "[0-5] WARNING: SPI: Shield lost initialization|"
                                     "[0-5] WARNING: SPI: (TX|RX) errors: \\d+|)$"));
    }
    return re.match(line).hasMatch();
}

void checkLines(const World &w, const Fuzz::ConsoleLines &console) {
    for (const QString &line : console.out) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\r')),
                   QStringLiteral("carriage return in a line: ") + Fuzz::hex(line.toUtf8(), 40));
        FUZZ_CHECK(isDriverLine(line, w.settings.multiShield),
                   QStringLiteral("not a whole driver line: \"%1\" (%2) in %3")
                       .arg(line, Fuzz::hex(line.toUtf8(), 40),
                            Fuzz::hex(console.outBytes.right(80), 80)));
    }
}

void cycle(World &w) {
    const int last = w.settings.lastShield;
    std::array<LinkSnapshot, shields> before;
    for (int s = 0; s < shields; ++s)
        before[s] = snapshot(w.links[static_cast<size_t>(s)]);
    w.bus.transfers.clear();
    w.sentToUdp.clear();
    const quint64 dropped = w.capture.dropped();

    w.transmitter->main_func();

    const QList<Transfer> &transfers = w.bus.transfers;
    int captured = 0;
    QByteArray to, from;
    const auto bus = [](const QByteArray &record) {
        return record.mid(CaptureWire::headerSize + CaptureWire::busBytesAt);
    };
    for (int next = 0; w.ring->take(&to); ++next, ++captured) {
        if (to.at(CaptureWire::headerSize + CaptureWire::directionByte) == CaptureWire::recordsLost)
            FUZZ_CHECK(w.ring->take(&to), QStringLiteral("a records-lost record alone"));
        FUZZ_CHECK(w.ring->take(&from), QStringLiteral("half an exchange captured"));
        while (next < transfers.size() &&
               (transfers[next].sent != bus(to) || transfers[next].answer != bus(from) ||
                to.at(CaptureWire::headerSize) != char(transfers[next].shield)))
            ++next;
        FUZZ_CHECK(next < transfers.size(), QStringLiteral("captured what no transfer was"));
    }
    FUZZ_CHECK(2u * (transfers.size() - captured) == w.capture.dropped() - dropped,
               QStringLiteral("%1 transfers, %2 captured").arg(transfers.size()).arg(captured));
    FUZZ_CHECK(!w.bus.anySelected(), QStringLiteral("a shield left selected"));
    for (const Transfer &t : transfers)
        FUZZ_CHECK(t.selected == 1, QStringLiteral("%1 shields selected").arg(t.selected));

    // One transfer per served shield, in address order, unless its link was found lost.
    QList<int> served;
    for (int s = 0; s <= last; ++s) {
        SPIconnector &link = w.links[static_cast<size_t>(s)];
        const bool lost = link.get_skip_flag() && !before[s].skip;
        if (lost)
            FUZZ_CHECK(w.settings.shieldState[s].getState() == ShieldState::STATE_OFFLINE,
                       QString::number(s));
        if (!before[s].skip && !lost)
            served.append(s);
    }
    FUZZ_CHECK(
        transfers.size() >= served.size(),
        QStringLiteral("%1 transfers for %2 shields").arg(transfers.size()).arg(served.size()));

    std::array<const Transfer *, shields> mainTransfer{};
    for (int i = 0; i < served.size(); ++i) {
        const int s = served[i];
        const Transfer &t = transfers[i];
        const auto where = [&] {
            return QStringLiteral(
                       " shield %1, sent %2, queued: %3 commands, %4 direct, "
                       "%5 echoes")
                .arg(s)
                .arg(Fuzz::hex(t.sent, 8))
                .arg(before[s].commands.size())
                .arg(before[s].direct.size())
                .arg(before[s].acks.size());
        };
        FUZZ_CHECK(t.shield == s, QStringLiteral("transfer to %1").arg(t.shield) + where());
        FUZZ_CHECK(t.sent.size() == Frame::shortSize || t.sent.size() == Frame::longSize, where());
        mainTransfer[static_cast<size_t>(s)] = &t;
        SPIconnector &link = w.links[static_cast<size_t>(s)];
        const LinkSnapshot after = snapshot(link);
        const LinkSnapshot &was = before[s];
        const QByteArray control = t.sent.left(Frame::shortSize);

        // Host audio: the next queued packet whenever the frame is long, silence when none.
        if (was.longPacket && !was.audio.isEmpty()) {
            FUZZ_CHECK(after.audio == was.audio.mid(1), QStringLiteral("audio queue") + where());
            if (t.sent.size() == Frame::longSize)
                FUZZ_CHECK(t.sent.mid(Frame::shortSize) == was.audio.first().mid(Frame::shortSize),
                           QStringLiteral("host audio out of order") + where());
        } else {
            FUZZ_CHECK(after.audio == was.audio, QStringLiteral("audio queue") + where());
            if (t.sent.size() == Frame::longSize) {
                const QByteArray audio = t.sent.mid(Frame::shortSize);
                FUZZ_CHECK(audio == silence(audio.size()) ||
                               (!was.longPacket && audio == QByteArray(audio.size(), '\0')),
                           QStringLiteral("made-up audio ") + Fuzz::hex(audio) + where());
            }
        }

        // The control part: direct frame, event echo, new command, repeat or idle. A first ping
        // waits while a command awaits its reply.
        const bool pingWaits = !was.direct.isEmpty() &&
                               Frame::code(was.direct.first()) == SPIcommand::PING_1 &&
                               (was.txState == SpiOutErrorController::TX_WAIT_REPLY ||
                                was.txState == SpiOutErrorController::TX_REPEAT);
        if (pingWaits)
            FUZZ_CHECK(after.direct == was.direct, QStringLiteral("ping during a command") + where());
        if (!was.direct.isEmpty() && !pingWaits) {
            FUZZ_CHECK(
                control.left(Frame::controlSize) == was.direct.first().left(Frame::controlSize) &&
                    crcValid(control),
                QStringLiteral("direct frame") + where());
            FUZZ_CHECK(after.direct == was.direct.mid(1), where());
        } else if (!was.acks.isEmpty()) {
            FUZZ_CHECK(control == was.acks.first(), QStringLiteral("event echo") + where());
            FUZZ_CHECK(startsWith(after.acks, was.acks.mid(1)), where());
        } else if (after.lastFrame != was.lastFrame) {
            FUZZ_CHECK(was.txState == SpiOutErrorController::TX_IDLE,
                       QStringLiteral("new command while one is outstanding") + where());
            FUZZ_CHECK(!was.commands.isEmpty(), QStringLiteral("command from nowhere") + where());
            const QByteArray &queued = was.commands.first();
            FUZZ_CHECK(control == after.lastFrame && crcValid(control) &&
                           control.mid(1, 5) == queued.mid(1, 5) &&
                           (Frame::start0(control) & Frame::startMask) == Frame::start,
                       QStringLiteral("not the queued command ") + Fuzz::hex(queued) + where());
            FUZZ_CHECK((Frame::start0(control) & Frame::toggleBit) == w.toggle[s],
                       QStringLiteral("toggle bit") + where());
            w.toggle[s] ^= Frame::toggleBit;
            FUZZ_CHECK(startsWith(after.commands, was.commands.mid(1)),
                       QStringLiteral("commands lost") + where());
        } else {
            const bool idle = control == QByteArray(Frame::shortSize, '\0');
            const bool repeat = control == was.lastFrame && crcValid(control);
            FUZZ_CHECK(idle || repeat, QStringLiteral("neither idle nor a repeat") + where());
            FUZZ_CHECK(startsWith(after.commands, was.commands),
                       QStringLiteral("commands lost") + where());
        }
        FUZZ_CHECK(after.commands.size() <= was.commands.size() + 1, where());
        FUZZ_CHECK(after.acks.size() <= was.acks.size() + 1, where());

        // A valid event is echoed back.
        const QByteArray &answer = t.answer;
        if (Frame::hasValidStart(answer) && crcValid(answer) && Frame::isEvent(answer))
            FUZZ_CHECK(!after.acks.isEmpty() && after.acks.last() == answer.left(Frame::shortSize),
                       QStringLiteral("event not echoed: ") + Fuzz::hex(answer, 8) + where());
    }

    // Everything after the exchanges is the bootloader hand-off of a shield that asked for it.
    for (int i = served.size(); i < transfers.size(); ++i) {
        const Transfer &t = transfers[i];
        FUZZ_CHECK(
            t.shield >= 0 && mainTransfer[static_cast<size_t>(t.shield)] &&
                Frame::start0(mainTransfer[static_cast<size_t>(t.shield)]->answer) ==
                    Frame::bootloaderSign &&
                t.sent.size() <= 8,
            QStringLiteral("stray transfer of %1 bytes to %2").arg(t.sent.size()).arg(t.shield));
    }

    // Shield audio to UDP: once per long frame, exactly the bytes received (silence in the cycle
    // in which long frames start).
    std::array<int, shields> udpCount{};
    for (const auto &sent : w.sentToUdp) {
        const quint8 s = sent.first;
        const QByteArray &audio = sent.second;
        FUZZ_CHECK(s < shields && mainTransfer[s], QStringLiteral("audio from shield %1").arg(s));
        FUZZ_CHECK(++udpCount[s] == 1, QStringLiteral("audio twice from %1").arg(s));
        FUZZ_CHECK(audio.size() == Frame::audioSize, QString::number(audio.size()));
        const QByteArray &answer = mainTransfer[s]->answer;
        FUZZ_CHECK(audio == silence(Frame::audioSize) ||
                       (answer.size() == Frame::longSize &&
                        audio == answer.mid(Frame::audioOffset, Frame::audioSize)),
                   QStringLiteral("audio not as received from %1").arg(s));
    }
    for (int s : served) {
        const bool playing = w.links[static_cast<size_t>(s)].get_long_packet();
        FUZZ_CHECK((udpCount[s] == 1) == playing,
                   QStringLiteral("shield %1 long %2, %3 blocks sent")
                       .arg(s)
                       .arg(playing)
                       .arg(udpCount[s]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Fuzz::initQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::Bytes in(data, size);
    const quint8 setup = in.u8();
    const quint8 flags = in.u8();
    Fuzz::ConsoleLines console;
    World w(setup, flags, in);

    while (!in.atEnd()) {
        switch (in.u8() % 8) {
            case 4:
                queueCommand(w, in);
                break;
            case 5: {
                const quint8 shield = in.u8() % shields;
                const quint8 start = in.u8();
                QByteArray packet(Frame::longSize, '\0');
                for (int i = Frame::audioOffset; i < Frame::audioOffset + Frame::audioSize; ++i)
                    packet[i] = static_cast<char>(start ^ (i * 13));
                w.links[shield].audio_queue->append(packet);
                break;
            }
            case 6:
                supervise(w, in);
                break;
            case 7:
                QCoreApplication::processEvents();
                break;
            case 3:
                w.bus.mute = true;
                for (int n = (in.u8() % 32 + 1) * 8; n > 0; --n) {
                    cycle(w);
                    checkLines(w, console);
                    console.clear();
                }
                w.bus.mute = false;
                break;
            default:
                cycle(w);
                break;
        }
        checkLines(w, console);
        console.clear();
    }
    return 0;
}
