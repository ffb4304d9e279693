// Host input to the console reader: any bytes, in command and list modes, with one shield or six.
//
// Input: byte 0 sets the world up (bit 0 several shields, bits 1-6 the shields in service, bit 7
// no supported intercom indexes); byte 1 puts the shields in service into command (0), virtual-list
// (1) or black-list (2) mode, by its value mod 3. The rest is what the host writes.
//
// Each line goes through processLine() on its own and its effects are checked: queues grow by a
// whole command at most, only the addressed shield changes, modes follow the list-loading order,
// lists only gain apartments, and every console line is one of the reader's own. Then the whole
// input goes once more through the reader's own line reading (cycle_scan on a buffer), which must
// leave the same world and write the same lines.

#include "fuzzsupport.h"

#include "board/board.h"
#include "config/settings.h"
#include "console/consolescan.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"

#include <QBuffer>
#include <QRegularExpression>

#include <array>
#include <memory>

namespace {

using ListWords = std::array<quint32, 32>;

struct World {
    World(quint8 setup, quint8 modes) {
        for (size_t i = 0; i < links.size(); ++i)
            pointers[i] = &links[i];
        settings.multiShield = (setup & 1) != 0;
        settings.shieldCount = settings.multiShield ? 6 : 1;
        settings.lastShield = settings.multiShield ? 5 : 0;
        if (setup & 0x80)
            settings.supportedIntercoms.clear();
        const auto mode = static_cast<ShieldState::ConsoleModeRead_em>(modes % 3);
        for (int s = 0; s < maxShields; ++s) {
            if (setup & (2 << s)) {
                settings.shieldState[s].setState(ShieldState::STATE_ONLINE);
                settings.shieldState[s].setConsoleModeRead(mode);
            }
        }
        command.reset(new SPIcommand(pointers.data(), &settings));
        scan.reset(new ConsoleScan(command.get(), &settings));
    }

    Settings settings;
    std::array<SPIconnector, 6> links;
    std::array<SPIconnector *, 6> pointers{};
    Board board;
    std::unique_ptr<SPIcommand> command;
    std::unique_ptr<ConsoleScan> scan;
};

struct ShieldSnapshot {
    QList<QByteArray> commands;
    int direct = 0;
    int acks = 0;
    int audio = 0;
    int mode = 0;
    ListWords virtualList{};
    ListWords blackList{};
    bool gate = false;
    quint8 intercom = 0;

    bool sameRecord(const ShieldSnapshot &o) const {
        return mode == o.mode && virtualList == o.virtualList && blackList == o.blackList &&
               gate == o.gate && intercom == o.intercom;
    }
    bool sameQueues(const ShieldSnapshot &o) const {
        return commands == o.commands && direct == o.direct && acks == o.acks && audio == o.audio;
    }
};

ListWords wordsOf(const ShieldState::ApartmentList &list) {
    ListWords words{};
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = list[i].load();
    return words;
}

ShieldSnapshot snapshot(World &w, int s) {
    ShieldSnapshot snap;
    SPIconnector &link = w.links[static_cast<size_t>(s)];
    {
        std::lock_guard<PiMutex> lock(link.command_queue->mutex);
        snap.commands = link.command_queue->list;
    }
    snap.direct = link.direct_queue->size();
    snap.acks = link.event_ack_queue->size();
    snap.audio = link.audio_queue->size();
    const ShieldState &record = w.settings.shieldState[static_cast<size_t>(s)];
    snap.mode = record.getConsoleModeRead();
    snap.virtualList = wordsOf(record.virtualList);
    snap.blackList = wordsOf(record.blackList);
    snap.gate = record.getFlagAdrGate();
    snap.intercom = w.settings.intercomIndex[static_cast<size_t>(s)];
    return snap;
}

int bitCount(const ListWords &words) {
    int count = 0;
    for (quint32 word : words)
        count += __builtin_popcount(word);
    return count;
}

// True when every bit of `before` is in `after` and at most `extra` bits were added.
bool gainsAtMost(const ListWords &before, const ListWords &after, int extra) {
    for (size_t i = 0; i < before.size(); ++i) {
        if ((before[i] & ~after[i]) != 0)
            return false;
    }
    return bitCount(after) - bitCount(before) <= extra;
}

bool isEmpty(const ListWords &words) {
    return bitCount(words) == 0;
}

const QString longLineError = QStringLiteral("#ERROR: console line longer than ") +
                              QString::number(ConsoleScan::maxLineBytes) +
                              QStringLiteral(" bytes discarded");

bool isReaderOutLine(const QString &line, bool multi) {
    static const QRegularExpression single(QStringLiteral(
        "^(#WARNING: Address 0 not available for command|mask_imit|#Write rooms for shield:|"
        "mask_block|#Write blacklist rooms for shield:|#End read rooms|Error: big number|"
        "#Intercom \\d{1,3} supported indexes for shield 0|)$"));
    static const QRegularExpression several(QStringLiteral(
        "^(#WARNING: Address [0-5] not available for command|[0-5] mask_imit|"
        "#Write rooms for shield [0-5]:|[0-5] mask_block|#Write blacklist rooms for shield [0-5]:|"
        "#End read rooms|Error: big number|#Intercom \\d{1,3} supported indexes for shield "
        "[0-5]|)$"));
    return (multi ? several : single).match(line).hasMatch();
}

bool isReaderErrLine(const QString &line) {
    static const QStringList known = {
        QStringLiteral("#ERROR: Отсутствует адрес шилда"),
        QStringLiteral("#ERROR: Адреса шилда не существует"),
        QStringLiteral("#ERROR: Ошибка ввода квартиры"),
        longLineError,
    };
    return known.contains(line);
}

bool isConsoleCommand(const QByteArray &frame) {
    if (frame.size() != Frame::shortSize || Frame::start0(frame) != Frame::start ||
        Frame::byte(frame, Frame::crcHigh) != 0 || Frame::byte(frame, Frame::crcLow) != 0)
        return false;
    switch (Frame::code(frame)) {
        case SPIcommand::PICKUP:
        case SPIcommand::DROP:
        case SPIcommand::DIAL:
        case SPIcommand::PHONE_DETECT:
        case SPIcommand::OPEN:
        case SPIcommand::SET_INTERCOM:
        case SPIcommand::AUDIO_PLAY:
            return true;
        default:
            return false;
    }
}

// Lines as the reader cuts them: at "\n", without a "\r" before it; a last piece without "\n" is
// a line too; lines longer than the limit are dropped (marked by a null array).
QList<QByteArray> cutLines(const QByteArray &text) {
    QList<QByteArray> lines;
    int from = 0;
    while (from < text.size()) {
        int end = text.indexOf('\n', from);
        if (end < 0)
            end = text.size();
        QByteArray line = text.mid(from, end - from);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line.size() > ConsoleScan::maxLineBytes ? QByteArray() : line);
        from = end + 1;
    }
    return lines;
}

// One line through processLine, with its effects checked. Returns the shield that asked for a
// list push, or -1.
int checkedLine(World &w, Fuzz::ConsoleLines &console, const QString &line) {
    const bool multi = w.settings.multiShield;
    std::array<ShieldSnapshot, 6> before;
    for (int s = 0; s < 6; ++s)
        before[s] = snapshot(w, s);
    console.clear();

    w.scan->processLine(line);

    const auto context = [&] { return QStringLiteral(" (line \"%1\")").arg(line.left(80)); };
    FUZZ_CHECK(console.out.size() <= 4, console.out.join(QLatin1Char('|')) + context());
    FUZZ_CHECK(console.err.size() <= 1, console.err.join(QLatin1Char('|')) + context());
    for (const QString &out : console.out)
        FUZZ_CHECK(isReaderOutLine(out, multi), out + context());
    for (const QString &err : console.err)
        FUZZ_CHECK(isReaderErrLine(err) && err != longLineError, err + context());

    int changed = -1;
    int pushed = -1;
    for (int s = 0; s < 6; ++s) {
        ShieldState &record = w.settings.shieldState[static_cast<size_t>(s)];
        const bool push = record.isSendDialplan();
        const ShieldSnapshot after = snapshot(w, s);
        const ShieldSnapshot &was = before[static_cast<size_t>(s)];
        const auto where = [&] { return QStringLiteral(" shield %1").arg(s) + context(); };

        // The console never touches the other queues.
        FUZZ_CHECK(after.direct == was.direct && after.acks == was.acks && after.audio == was.audio,
                   where());
        if (after.sameQueues(was) && after.sameRecord(was) && !push)
            continue;
        FUZZ_CHECK(changed < 0, QStringLiteral("two shields changed by one line:") + where());
        changed = s;
        FUZZ_CHECK(record.getState() == ShieldState::STATE_ONLINE,
                   QStringLiteral("a shield out of service changed") + where());
        FUZZ_CHECK(multi || s == 0, QStringLiteral("single-shield line reached") + where());

        // Commands: appended whole at the end, at most two per line, in the known pairs.
        const QList<QByteArray> &old = was.commands;
        FUZZ_CHECK(after.commands.mid(0, old.size()) == old,
                   QStringLiteral("queued commands changed") + where());
        const QList<QByteArray> added = after.commands.mid(old.size());
        FUZZ_CHECK(added.size() <= 2, QString::number(added.size()) + where());
        for (const QByteArray &frame : added)
            FUZZ_CHECK(isConsoleCommand(frame), Fuzz::hex(frame) + where());
        if (added.size() == 2) {
            const quint8 first = Frame::code(added[0]);
            const quint8 second = Frame::code(added[1]);
            const bool pickup = first == SPIcommand::PICKUP && second == SPIcommand::AUDIO_PLAY &&
                                Frame::byte(added[1], 5) == 1;
            const bool drop = first == SPIcommand::AUDIO_PLAY && Frame::byte(added[0], 5) == 0 &&
                              second == SPIcommand::DROP;
            FUZZ_CHECK(pickup || drop, Fuzz::hex(added[0]) + " / " + Fuzz::hex(added[1]) + where());
        }
        if (added.size() == 1) {
            const quint8 code = Frame::code(added[0]);
            FUZZ_CHECK(
                code != SPIcommand::PICKUP && code != SPIcommand::DROP &&
                    code != SPIcommand::AUDIO_PLAY,
                QStringLiteral("half of a pickup or drop: ") + Fuzz::hex(added[0]) + where());
        }

        // Modes follow command -> virtual list -> black list -> command, one step per line.
        const int from = was.mode;
        const int to = after.mode;
        if (from != to) {
            FUZZ_CHECK(added.isEmpty(), QStringLiteral("mode change with a command") + where());
            FUZZ_CHECK(to == (from + 1) % 3,
                       QStringLiteral("mode %1 -> %2").arg(from).arg(to) + where());
            if (to == ShieldState::MODE_READ_VIRTUAL_LIST)
                FUZZ_CHECK(isEmpty(after.virtualList), where());
            if (to == ShieldState::MODE_READ_BLACK_LIST)
                FUZZ_CHECK(isEmpty(after.blackList) && after.virtualList == was.virtualList,
                           where());
        }
        FUZZ_CHECK(push == (from == ShieldState::MODE_READ_BLACK_LIST &&
                            to == ShieldState::MODE_READ_COMMAND),
                   QStringLiteral("list push request out of turn") + where());
        if (push)
            pushed = s;

        // Lists gain at most one apartment per line, and only the list being read.
        if (from == to) {
            const bool readingVirtual = from == ShieldState::MODE_READ_VIRTUAL_LIST;
            const bool readingBlack = from == ShieldState::MODE_READ_BLACK_LIST;
            FUZZ_CHECK(readingVirtual ? gainsAtMost(was.virtualList, after.virtualList, 1)
                                      : after.virtualList == was.virtualList,
                       where());
            FUZZ_CHECK(readingBlack ? gainsAtMost(was.blackList, after.blackList, 1)
                                    : after.blackList == was.blackList,
                       where());
            if (readingVirtual || readingBlack)
                FUZZ_CHECK(added.isEmpty(), QStringLiteral("a command in a list mode") + where());
        }
        if (after.intercom != was.intercom || after.gate != was.gate) {
            FUZZ_CHECK(added.size() == 1 && Frame::code(added[0]) == SPIcommand::SET_INTERCOM &&
                           Frame::byte(added[0], 5) == after.intercom,
                       where());
        }
    }
    return pushed;
}

struct Outcome {
    std::array<ShieldSnapshot, 6> shields;
    std::array<bool, 6> pushRequested{};
    QByteArray out;
    QByteArray err;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Fuzz::initQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::Bytes bytes(data, size);
    const quint8 setup = bytes.u8();
    const quint8 modes = bytes.u8();
    const QByteArray text = bytes.rest();

    Fuzz::ConsoleLines console;

    // Line by line, each checked.
    Outcome lineByLine;
    {
        World w(setup, modes);
        QByteArray out;
        QByteArray err;
        for (const QByteArray &line : cutLines(text)) {
            if (line.isNull()) {
                err.append(longLineError.toUtf8() + '\n');
                continue;
            }
            // A NUL byte is data like any other.
            const int pushed =
                checkedLine(w, console, QString::fromUtf8(line.constData(), line.size()));
            out.append(console.outBytes);
            err.append(console.errBytes);
            if (pushed >= 0)
                lineByLine.pushRequested[static_cast<size_t>(pushed)] = true;
        }
        for (int s = 0; s < 6; ++s)
            lineByLine.shields[s] = snapshot(w, s);
        lineByLine.out = out;
        lineByLine.err = err;
    }

    // The same bytes through the reader's own reading loop.
    Outcome whole;
    {
        World w(setup, modes);
        QBuffer buffer;
        buffer.setData(text);
        buffer.open(QIODevice::ReadOnly);
        w.scan->setInput(&buffer);
        console.clear();
        w.scan->cycle_scan();
        for (int s = 0; s < 6; ++s) {
            whole.shields[s] = snapshot(w, s);
            whole.pushRequested[s] = w.settings.shieldState[s].isSendDialplan();
        }
        whole.out = console.outBytes;
        whole.err = console.errBytes;
        // The reader says once that the input ended.
        FUZZ_CHECK(!console.err.isEmpty() && console.err.last().startsWith(
                                                 QStringLiteral("#WARNING: standard input closed")),
                   console.err.join(QLatin1Char('|')));
        whole.err.chop(console.err.last().toUtf8().size() + 1);
    }

    FUZZ_CHECK(whole.out == lineByLine.out,
               QStringLiteral("reading loop wrote other lines: ") + QString::fromUtf8(whole.out) +
                   QStringLiteral(" versus ") + QString::fromUtf8(lineByLine.out));
    FUZZ_CHECK(whole.err == lineByLine.err, QString::fromUtf8(whole.err) +
                                                QStringLiteral(" versus ") +
                                                QString::fromUtf8(lineByLine.err));
    for (int s = 0; s < 6; ++s) {
        FUZZ_CHECK(whole.shields[s].sameQueues(lineByLine.shields[s]) &&
                       whole.shields[s].sameRecord(lineByLine.shields[s]) &&
                       whole.pushRequested[s] == lineByLine.pushRequested[s],
                   QStringLiteral("reading loop left shield %1 otherwise").arg(s));
    }
    return 0;
}
