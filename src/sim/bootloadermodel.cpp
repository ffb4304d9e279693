#include "sim/bootloadermodel.h"

#include "link/bootloadercodes.h"
#include "link/stmbootloader.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace BootloaderCodes;

// What Get offers: the commands of an SPI bootloader.
const char offered[] = {0x00, 0x01, 0x02, 0x11,       0x21,      0x31,
                        0x44, 0x63, 0x73, char(0x82), char(0x92)};
// Byte of a written block that a lost-byte fault drops (or the last one of a shorter phase).
const int lostByteIndex = 10;

// An acknowledge as the ROM clocks it out: a dummy byte, then 0x79.
QByteArray ackBytes()
{
    return QByteArray::fromHex("0079");
}

quint8 xorOf(const QByteArray &bytes, int from, int to)
{
    quint8 sum = 0;
    for (int i = from; i < to; ++i)
        sum ^= static_cast<quint8>(bytes.at(i));
    return sum;
}

}  // namespace

BootloaderModel::BootloaderModel()
{
    configure(cfg);
    // A factory image: it runs, and declares no firmware number of its own.
    program(0, QByteArray::fromHex("00200020c1000008"));
}

void BootloaderModel::configure(const Config &config)
{
    cfg = config;
    if (cfg.pageSize == 0)
        cfg.pageSize = 2048;
    memory = QByteArray(static_cast<int>(cfg.flashSize), char(0xFF));
    protectedPages.clear();
    setErrorCorrection(eccUnit);
}

void BootloaderModel::setErrorCorrection(int unit)
{
    eccUnit = unit;
    programmedWords.assign(unit > 0 ? memory.size() / unit : 0, false);
    // What the flash holds now was programmed.
    for (int i = 0; unit > 0 && i < memory.size(); i += unit) {
        if (memory.mid(i, unit) != QByteArray(unit, char(0xFF)))
            markProgrammed(quint32(i), unit, true);
    }
}

void BootloaderModel::markProgrammed(quint32 offset, int length, bool programmed)
{
    if (eccUnit == 0)
        return;
    const auto unit = static_cast<quint32>(eccUnit);
    const quint32 end = std::min<quint32>((offset + quint32(length) + unit - 1) / unit,
                                          static_cast<quint32>(programmedWords.size()));
    for (quint32 w = offset / unit; w < end; ++w)
        programmedWords[w] = programmed;
}

void BootloaderModel::restart()
{
    stopped = false;
    state = State::Unsynced;
    afterConfirm = State::Idle;
    faulty = false;
    phase.clear();
    out.clear();
    outReadyAt = Clock::time_point();
    afterConfirmOut.clear();
    afterConfirmAction = Action::None;
    actionAfterOut = Action::None;
    action = Action::None;
}

void BootloaderModel::program(quint32 offset, const QByteArray &bytes)
{
    if (offset >= static_cast<quint32>(memory.size()))
        return;
    const int n = std::min(bytes.size(), memory.size() - static_cast<int>(offset));
    std::memcpy(memory.data() + offset, bytes.constData(), static_cast<size_t>(n));
    markProgrammed(offset, n, true);
}

void BootloaderModel::eraseAll()
{
    memory.fill(char(0xFF));
    markProgrammed(0, memory.size(), false);
}

bool BootloaderModel::blankAt(quint32 at) const
{
    if (at < flashBase || at - flashBase + 4 > static_cast<quint32>(memory.size()))
        return true;
    const int offset = static_cast<int>(at - flashBase);
    return memory.mid(offset, 4) == QByteArray(4, char(0xFF));
}

bool BootloaderModel::declaredFirmware(quint32 at, quint16 *firmware) const
{
    if (at < flashBase)
        return false;
    const quint32 offset = at - flashBase + firmwareTagOffset;
    if (offset + 6 > static_cast<quint32>(memory.size()))
        return false;
    if (memory.mid(static_cast<int>(offset), 4) != QByteArray(firmwareTag))
        return false;
    *firmware =
        static_cast<quint16>(static_cast<quint8>(memory.at(static_cast<int>(offset + 4))) |
                             static_cast<quint8>(memory.at(static_cast<int>(offset + 5))) << 8);
    return true;
}

QByteArray BootloaderModel::makeImage(int size, quint16 firmware)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);  // varied, few blank words
    image.replace(0, 8, QByteArray::fromHex("00200020c1000008"));
    if (size >= static_cast<int>(firmwareTagOffset) + 6) {
        image.replace(static_cast<int>(firmwareTagOffset), 4, QByteArray(firmwareTag));
        image[firmwareTagOffset + 4] = static_cast<char>(firmware & 0xFF);
        image[firmwareTagOffset + 5] = static_cast<char>(firmware >> 8);
    }
    return image;
}

void BootloaderModel::protectPages(quint32 first, quint32 count)
{
    for (quint32 p = first; p < first + count && p < pageCount(); ++p)
        protectedPages.insert(p);
}

void BootloaderModel::unprotect()
{
    protectedPages.clear();
    readoutProtected = false;
}

void BootloaderModel::injectFault(Fault fault, quint8 command, int nth)
{
    faults.append(Pending{fault, command, std::max(1, nth)});
}

int BootloaderModel::commandCode(const QString &name)
{
    static const struct {
        const char *name;
        quint8 code;
    } names[] = {{"get", cmdGet}, {"version", cmdVersion}, {"id", cmdId},      {"read", cmdRead},
                 {"go", cmdGo},   {"write", cmdWrite},     {"erase", cmdErase}};
    for (const auto &n : names) {
        if (name == QLatin1String(n.name))
            return n.code;
    }
    return -1;
}

bool BootloaderModel::faultFor(quint8 code, Fault *fault)
{
    for (int i = 0; i < faults.size(); ++i) {
        Pending &p = faults[i];
        if (p.command != code)
            continue;
        if (--p.left > 0)
            continue;
        *fault = p.fault;
        faults.removeAt(i);
        return true;
    }
    return false;
}

QByteArray BootloaderModel::transfer(const QByteArray &sent, Clock::time_point now)
{
    QByteArray clocked(sent.size(), char(filler));
    if (stopped || now < busyUntil)
        return clocked;
    for (int i = 0; i < sent.size(); ++i) {
        if (!out.isEmpty() && now >= outReadyAt) {
            clocked[i] = out.at(0);
            out.remove(0, 1);
            if (out.isEmpty() && actionAfterOut != Action::None) {
                action = actionAfterOut;
                actionAfterOut = Action::None;
                // A reset that follows a mass erase keeps the chip silent while it erases.
                if (action == Action::Reset)
                    busyUntil = now + std::chrono::milliseconds(busyAfterResetMs);
                busyAfterResetMs = 0;
            }
        }
        receive(static_cast<quint8>(sent.at(i)), i == 0, now);
    }
    return clocked;
}

BootloaderModel::Action BootloaderModel::takeAction(quint32 *at)
{
    const Action a = action;
    action = Action::None;
    if (at)
        *at = actionAddress;
    return a;
}

void BootloaderModel::queue(const QByteArray &bytes, Clock::time_point readyAt)
{
    out += bytes;
    outReadyAt = readyAt;
}

void BootloaderModel::answerAck(State next, Clock::time_point readyAt)
{
    queue(ackBytes(), readyAt);
    state = State::AwaitConfirm;
    afterConfirm = next;
}

void BootloaderModel::answerDone(Clock::time_point readyAt)
{
    if (faulty && currentFault == Fault::AckLost) {
        faulty = false;
        state = State::Stalled;
        return;
    }
    answerAck(State::Idle, readyAt);
}

void BootloaderModel::answerNack()
{
    queue(QByteArray(1, char(nackByte)));
    state = State::AwaitConfirm;
    afterConfirm = State::Idle;
    afterConfirmOut.clear();
    afterConfirmAction = Action::None;
    faulty = false;
}

void BootloaderModel::receive(quint8 byte, bool firstOfTransfer, Clock::time_point now)
{
    const bool newFrame = firstOfTransfer && byte == frameStart;
    switch (state) {
    case State::Unsynced:
        if (newFrame)
            answerAck(State::Idle);
        return;
    case State::Idle:
    case State::Stalled:
        if (newFrame)
            state = State::Code;
        return;
    case State::AwaitConfirm:
        if (byte == ackByte) {
            state = afterConfirm;
            afterConfirm = State::Idle;
            if (!afterConfirmOut.isEmpty()) {
                queue(afterConfirmOut);
                afterConfirmOut.clear();
                actionAfterOut = afterConfirmAction;
                afterConfirmAction = Action::None;
            }
        } else if (newFrame) {
            // The host went on without confirming: a new frame.
            out.clear();
            afterConfirmOut.clear();
            state = State::Code;
        }
        return;
    case State::Code:
        currentCode = byte;
        state = State::Complement;
        return;
    case State::Complement:
        if (byte != static_cast<quint8>(~currentCode))
            answerNack();
        else
            command(currentCode);
        return;
    default:
        break;
    }

    // A phase collecting bytes.
    const bool dataPhase = state == State::WriteData;
    const int dropAt = dataPhase ? (phase.isEmpty() ? -1 : std::min(lostByteIndex, phaseLength - 1))
                                 : (state == State::Address && currentCode != cmdWrite ? 2 : -1);
    if (faulty && currentFault == Fault::LoseByte && phase.size() == dropAt) {
        faulty = false;  // this byte never reached the ROM
        return;
    }
    phase.append(static_cast<char>(byte));
    if (dataPhase && phase.size() == 1)
        phaseLength = static_cast<quint8>(byte) + 1 + 2;  // N-1, N bytes, XOR
    if (phase.size() >= phaseLength)
        phaseDone(now);
}

void BootloaderModel::command(quint8 code)
{
    Fault fault;
    faulty = false;
    if (faultFor(code, &fault)) {
        if (fault == Fault::Nack) {
            answerNack();
            return;
        }
        if (fault == Fault::Timeout) {
            state = State::Stalled;  // never answers this one
            return;
        }
        if (fault == Fault::Stop) {
            stopped = true;
            return;
        }
        faulty = true;
        currentFault = fault;
    }
    const auto collect = [this](State s, int length) {
        phase.clear();
        phaseLength = length;
        answerAck(s);
    };
    // Get, Get Version and Get ID: a dummy byte, the data and an acknowledge once confirmed.
    const auto answerData = [this](const QByteArray &data) {
        afterConfirmOut = QByteArray(1, '\0') + data + ackBytes();
        answerAck(State::AwaitConfirm);
    };
    switch (code) {
    case cmdGet:
        answerData(QByteArray(1, char(sizeof offered)) + char(version) +
                   QByteArray(offered, sizeof offered));
        return;
    case cmdVersion:
        answerData(QByteArray(1, char(version)));
        return;
    case cmdId:
        answerData(QByteArray(1, char(0x01)) + char(cfg.productId >> 8) +
                   char(cfg.productId & 0xFF));
        return;
    case cmdRead:
    case cmdGo:
    case cmdWrite:
    case cmdErase:
        if (readoutProtected)
            answerNack();
        else if (code == cmdErase)
            collect(State::EraseCount, 3);
        else
            collect(State::Address, 5);
        return;
    case cmdWriteUnprotect:
    case cmdReadoutUnprotect:
        // Both acknowledges go out first; then the option bytes reload and the device resets.
        if (code == cmdReadoutUnprotect && readoutProtected) {
            eraseAll();
            busyAfterResetMs = cfg.massEraseMs;
        }
        unprotect();
        afterConfirmOut = ackBytes();
        afterConfirmAction = Action::Reset;
        answerAck(State::Idle);
        return;
    default:
        answerNack();
        return;
    }
}

bool BootloaderModel::readable(quint32 at, quint32 n, QByteArray *data) const
{
    if (at >= flashBase && quint64(at) + n <= quint64(flashBase) + cfg.flashSize) {
        *data = memory.mid(static_cast<int>(at - flashBase), static_cast<int>(n));
        return true;
    }
    // The family's flash size register: this part's size in KiB, then a reserved half-word.
    const StmBootloader::Part *part = StmBootloader::findPart(cfg.productId);
    if (!part || at < part->sizeRegister || quint64(at) + n > part->sizeRegister + 4ull)
        return false;
    const quint32 kib = cfg.flashSize / 1024;
    const QByteArray word = QByteArray(1, char(kib & 0xFF)) + char(kib >> 8) + "\xFF\xFF";
    *data = word.mid(int(at - part->sizeRegister), int(n));
    return true;
}

bool BootloaderModel::pagesProtected(quint32 firstPage, quint32 lastPage) const
{
    for (quint32 p = firstPage; p <= lastPage; ++p) {
        if (protectedPages.count(p))
            return true;
    }
    return false;
}

void BootloaderModel::phaseDone(Clock::time_point now)
{
    const QByteArray bytes = phase;
    phase.clear();
    switch (state) {
    case State::Address:
        takeAddress(bytes);
        return;
    case State::ReadLength:
        takeReadLength(bytes);
        return;
    case State::WriteData:
        takeBlock(bytes, now);
        return;
    case State::EraseCount:
        takeEraseCount(bytes, now);
        return;
    case State::ErasePages:
        takeErasePages(bytes, now);
        return;
    default:
        return;
    }
}

// Read Memory, Go and Write Memory: the address and its XOR. Go jumps from here.
void BootloaderModel::takeAddress(const QByteArray &bytes)
{
    const quint32 end = flashBase + cfg.flashSize;
    if (xorOf(bytes, 0, 4) != static_cast<quint8>(bytes.at(4))) {
        answerNack();
        return;
    }
    address = quint32(static_cast<quint8>(bytes.at(0))) << 24 |
              quint32(static_cast<quint8>(bytes.at(1))) << 16 |
              quint32(static_cast<quint8>(bytes.at(2))) << 8 | static_cast<quint8>(bytes.at(3));
    QByteArray first;
    if (currentCode == cmdRead ? !readable(address, 1, &first)
                               : address < flashBase || address >= end ||
                                     (currentCode == cmdWrite && (address & 3) != 0)) {
        answerNack();
        return;
    }
    if (currentCode == cmdGo) {
        actionAddress = address;
        if (faulty && currentFault == Fault::AckLost) {
            action = Action::Jump;  // it jumps without a word
            faulty = false;
            state = State::Stalled;
        } else {
            actionAfterOut = Action::Jump;
            answerAck(State::Idle);
        }
    } else if (currentCode == cmdRead) {
        phaseLength = 2;
        answerAck(State::ReadLength);
    } else {
        phaseLength = 1;  // grows with the block's first byte
        answerAck(State::WriteData);
    }
}

// Read Memory: N-1 and its complement; the data goes out once the host confirms.
void BootloaderModel::takeReadLength(const QByteArray &bytes)
{
    const quint8 n1 = static_cast<quint8>(bytes.at(0));
    QByteArray data;
    if (static_cast<quint8>(bytes.at(1)) != static_cast<quint8>(~n1) ||
        !readable(address, n1 + 1u, &data)) {
        answerNack();
        return;
    }
    afterConfirmOut = QByteArray(1, '\0') + data;
    answerAck(State::Idle);
}

// Write Memory: N-1, the N bytes and their XOR, programmed as flash is.
void BootloaderModel::takeBlock(const QByteArray &bytes, Clock::time_point now)
{
    const quint32 end = flashBase + cfg.flashSize;
    const int n = static_cast<quint8>(bytes.at(0)) + 1;
    if (xorOf(bytes, 0, n + 1) != static_cast<quint8>(bytes.at(n + 1)) ||
        address + quint32(n) > end) {
        answerNack();
        return;
    }
    const quint32 offset = address - flashBase;
    if (pagesProtected(offset / cfg.pageSize, (offset + quint32(n) - 1) / cfg.pageSize)) {
        answerNack();
        return;
    }
    // Flash bits only go from 1 to 0 when written. With error correction a word is
    // programmed once, whole: the words before a refused one are programmed.
    const int unit = eccUnit > 0 ? eccUnit : n;
    if ((eccUnit > 0 && offset % quint32(unit) != 0) || n % unit != 0) {
        answerNack();
        return;
    }
    for (int w = 0; w < n; w += unit) {
        if (eccUnit > 0 && programmedWords[(offset + quint32(w)) / quint32(eccUnit)]) {
            answerNack();
            return;
        }
        for (int i = w; i < w + unit; ++i)
            memory[int(offset) + i] =
                static_cast<char>(static_cast<quint8>(memory.at(int(offset) + i)) &
                                  static_cast<quint8>(bytes.at(1 + i)));
        markProgrammed(offset + quint32(w), unit, true);
    }
    answerDone(now + std::chrono::milliseconds(cfg.writeMs));
}

// Extended Erase: the page count less one (or a special erase) and its XOR.
void BootloaderModel::takeEraseCount(const QByteArray &bytes, Clock::time_point now)
{
    if ((static_cast<quint8>(bytes.at(0)) ^ static_cast<quint8>(bytes.at(1))) !=
        static_cast<quint8>(bytes.at(2))) {
        answerNack();
        return;
    }
    const quint16 value =
        quint16(static_cast<quint8>(bytes.at(0)) << 8 | static_cast<quint8>(bytes.at(1)));
    if (value >= 0xFFF0) {
        if (value < 0xFFFD || !protectedPages.empty()) {
            answerNack();
            return;
        }
        eraseAll();
        answerDone(now + std::chrono::milliseconds(cfg.massEraseMs));
        return;
    }
    phaseLength = 2 * (value + 1) + 1;
    answerAck(State::ErasePages);
}

// Extended Erase: the page numbers and their XOR.
void BootloaderModel::takeErasePages(const QByteArray &bytes, Clock::time_point now)
{
    const int count = (bytes.size() - 1) / 2;
    if (xorOf(bytes, 0, bytes.size() - 1) != static_cast<quint8>(bytes.at(bytes.size() - 1))) {
        answerNack();
        return;
    }
    QList<quint32> pages;
    for (int i = 0; i < count; ++i) {
        const quint32 p = quint32(static_cast<quint8>(bytes.at(2 * i)) << 8 |
                                  static_cast<quint8>(bytes.at(2 * i + 1)));
        if (p >= pageCount() || protectedPages.count(p)) {
            answerNack();
            return;
        }
        pages << p;
    }
    for (quint32 p : pages) {
        memory.replace(int(p * cfg.pageSize), int(cfg.pageSize),
                       QByteArray(int(cfg.pageSize), char(0xFF)));
        markProgrammed(p * cfg.pageSize, int(cfg.pageSize), false);
    }
    answerDone(now + std::chrono::milliseconds(cfg.pageEraseMs * count));
}
