#include "link/stmbootloader.h"

#include "link/bootloadercodes.h"

#include "board/board.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using namespace BootloaderCodes;

// Families with an SPI bootloader whose flash is cut into pages of one size (AN2606, AN4286).
// The size is the family's largest: a smaller part tells its own in the flash size register,
// which the bootloader lets Read Memory reach on most parts. The program unit is the flash word:
// a double word, a quad word on U5 and H5 (L0 programs words of 4 bytes, and 8 suits it too).
const quint32 sizeAt = 0x1FFF75E0;  // G0, G4, L4, WB, WL
const quint32 l0SizeAt = 0x1FF8007C;
const StmBootloader::Part partTable[] = {
    {0x456, "STM32G05x/G06x", 64 * 1024, 2048, 8, sizeAt},
    {0x460, "STM32G07x/G08x", 128 * 1024, 2048, 8, sizeAt},
    {0x466, "STM32G03x/G04x", 64 * 1024, 2048, 8, sizeAt},
    {0x467, "STM32G0Bx/G0Cx", 512 * 1024, 2048, 8, sizeAt},
    {0x468, "STM32G431/G441", 128 * 1024, 2048, 8, sizeAt},
    {0x469, "STM32G47x/G48x", 512 * 1024, 2048, 8, sizeAt},
    {0x479, "STM32G491/G4A1", 512 * 1024, 2048, 8, sizeAt},
    {0x464, "STM32L41x/L42x", 128 * 1024, 2048, 8, sizeAt},
    {0x435, "STM32L43x/L44x", 256 * 1024, 2048, 8, sizeAt},
    {0x462, "STM32L45x/L46x", 512 * 1024, 2048, 8, sizeAt},
    {0x415, "STM32L47x/L48x", 1024 * 1024, 2048, 8, sizeAt},
    {0x461, "STM32L496/L4A6", 1024 * 1024, 2048, 8, sizeAt},
    {0x457, "STM32L01x/L02x", 16 * 1024, 128, 8, l0SizeAt},
    {0x425, "STM32L03x/L04x", 32 * 1024, 128, 8, l0SizeAt},
    {0x417, "STM32L05x/L06x", 64 * 1024, 128, 8, l0SizeAt},
    {0x447, "STM32L07x/L08x", 192 * 1024, 128, 8, l0SizeAt},
    {0x495, "STM32WB5x", 1024 * 1024, 4096, 8, sizeAt},
    {0x497, "STM32WLE5/WL5x", 256 * 1024, 2048, 8, sizeAt},
    {0x482, "STM32U575/U585", 2048 * 1024, 8192, 16, 0x0BFA07A0},
    {0x484, "STM32H56x/H57x", 2048 * 1024, 8192, 16, 0x08FFF80C},
};

}  // namespace

const StmBootloader::Part *StmBootloader::findPart(quint16 productId)
{
    for (const Part &p : partTable) {
        if (p.productId == productId)
            return &p;
    }
    return nullptr;
}

QList<StmBootloader::Part> StmBootloader::parts()
{
    QList<Part> list;
    for (const Part &p : partTable)
        list << p;
    return list;
}

StmBootloader::StmBootloader(Board *board) : board(board) {}

quint8 StmBootloader::xorOf(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (char b : bytes)
        sum ^= static_cast<quint8>(b);
    return sum;
}

QString StmBootloader::hex(quint32 address)
{
    return QStringLiteral("0x%1").arg(address, 8, 16, QLatin1Char('0'));
}

void StmBootloader::send(const QByteArray &bytes)
{
    // Full duplex: what comes back while the host sends is the device's filler.
    QByteArray tx = bytes;
    QByteArray rx(bytes.size(), '\0');
    board->spi_transfer(reinterpret_cast<quint8 *>(tx.data()),
                        reinterpret_cast<quint8 *>(rx.data()), static_cast<quint16>(tx.size()));
}

QByteArray StmBootloader::receive(int count)
{
    QByteArray tx(count, '\0');
    QByteArray rx(count, '\0');
    board->spi_transfer(reinterpret_cast<quint8 *>(tx.data()),
                        reinterpret_cast<quint8 *>(rx.data()), static_cast<quint16>(count));
    return rx;
}

StmBootloader::Reply StmBootloader::waitAck(int timeoutMs)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (int polls = 0;; ++polls) {
        const quint8 b = static_cast<quint8>(receive(1).at(0));
        if (b == ackByte || b == nackByte) {
            send(QByteArray(1, char(ackByte)));  // confirms either
            return b == ackByte ? Reply::Ack : Reply::Nack;
        }
        if (steady_clock::now() >= deadline)
            return Reply::TimedOut;
        if (stopRequested && stopRequested()) {
            stopped = true;
            return Reply::TimedOut;
        }
        // Busy (erasing, programming): poll at once at first, then every millisecond, so a long
        // erase costs neither the bus nor the processor much.
        if (polls >= 32)
            std::this_thread::sleep_for(polls < 256 ? microseconds(100) : milliseconds(1));
    }
}

StmBootloader::Reply StmBootloader::command(quint8 code)
{
    send(QByteArray(1, char(frameStart)) + char(code) + char(~code));
    return waitAck(limits.commandMs);
}

StmBootloader::Reply StmBootloader::query(quint8 code)
{
    const Reply r = command(code);
    if (r == Reply::Ack)
        receive(1);  // dummy
    return r;
}

StmBootloader::Reply StmBootloader::exchange(quint8 code, std::initializer_list<QByteArray> parts,
                                             int lastMs)
{
    Reply r = command(code);
    int left = static_cast<int>(parts.size());
    for (const QByteArray &part : parts) {
        if (r != Reply::Ack)
            return r;
        if (!part.isEmpty())
            send(part);
        r = waitAck(--left == 0 ? lastMs : limits.commandMs);
    }
    return r;
}

QByteArray StmBootloader::addressFrame(quint32 address)
{
    QByteArray frame;
    frame.append(static_cast<char>(address >> 24));
    frame.append(static_cast<char>(address >> 16));
    frame.append(static_cast<char>(address >> 8));
    frame.append(static_cast<char>(address));
    frame.append(static_cast<char>(xorOf(frame)));
    return frame;
}

bool StmBootloader::attempt(const QString &what, const Try &once, int tries)
{
    int nacks = 0;
    int timeouts = 0;
    for (int i = 0; i < tries; ++i) {
        if (stopRequested && stopRequested())
            stopped = true;
        if (stopped)
            break;
        if (i > 0)
            ++retryCount;
        const Reply r = once();
        if (r == Reply::Ack) {
            refusedEveryTime = false;
            why.clear();
            return true;
        }
        (r == Reply::Nack ? nacks : timeouts) += 1;
    }
    refusedEveryTime = nacks > 0 && timeouts == 0;
    if (stopped) {
        why = what + QStringLiteral(": interrupted");
    } else {
        QStringList parts;
        const auto times = [tries](int n) {
            return tries == 1 ? QString()
                              : QStringLiteral(" %1 time%2").arg(n).arg(n > 1 ? "s" : "");
        };
        if (nacks > 0)
            parts << QStringLiteral("refused (NACK)") + times(nacks);
        if (timeouts > 0)
            parts << QStringLiteral("no answer in time") + times(timeouts);
        why = what + QStringLiteral(": ") + parts.join(QStringLiteral(", "));
        if (tries > 1)
            why += QStringLiteral(" in %1 tries").arg(tries);
    }
    return false;
}

bool StmBootloader::sync()
{
    return attempt(QStringLiteral("synchronisation (0x5A)"), [this] {
        send(QByteArray(1, char(frameStart)));
        return waitAck(limits.syncMs);
    });
}

bool StmBootloader::get(quint8 *version, QByteArray *commands)
{
    return attempt(QStringLiteral("Get (0x00)"), [&] {
        const Reply r = query(cmdGet);
        if (r != Reply::Ack)
            return r;
        const int n = static_cast<quint8>(receive(1).at(0));
        QByteArray list = receive(n + 1);
        *version = static_cast<quint8>(list.at(0));
        list.remove(0, 1);
        // Documents differ on whether N counts the version: a list that ran into the
        // acknowledge has it as its last byte, and no command has that code.
        if (!list.isEmpty() && static_cast<quint8>(list.at(list.size() - 1)) == ackByte) {
            list.chop(1);
            send(QByteArray(1, char(ackByte)));
            *commands = list;
            return Reply::Ack;
        }
        *commands = list;
        return waitAck(limits.commandMs);
    });
}

bool StmBootloader::getVersion(quint8 *version)
{
    return attempt(QStringLiteral("Get Version (0x01)"), [&] {
        const Reply r = query(cmdVersion);
        if (r != Reply::Ack)
            return r;
        *version = static_cast<quint8>(receive(1).at(0));
        return waitAck(limits.commandMs);
    });
}

bool StmBootloader::getId(quint16 *productId)
{
    return attempt(QStringLiteral("Get ID (0x02)"), [&] {
        const Reply r = query(cmdId);
        if (r != Reply::Ack)
            return r;
        const int n = static_cast<quint8>(receive(1).at(0)) + 1;
        if (n < 2)
            return Reply::Nack;  // no room for the two bytes of an ID: a garbled answer
        const QByteArray id = receive(n);
        *productId = static_cast<quint16>(static_cast<quint8>(id.at(n - 2)) << 8 |
                                          static_cast<quint8>(id.at(n - 1)));
        return waitAck(limits.commandMs);
    });
}

bool StmBootloader::readMemory(quint32 address, int length, QByteArray *data, int tries)
{
    Q_ASSERT(length >= 1 && length <= maxBlock);
    return attempt(
        QStringLiteral("Read Memory (0x11) at ") + hex(address),
        [&] {
            const quint8 n1 = static_cast<quint8>(length - 1);
            const Reply r =
                exchange(cmdRead, {addressFrame(address), QByteArray(1, char(n1)) + char(~n1)},
                         limits.commandMs);
            if (r != Reply::Ack)
                return r;
            receive(1);  // dummy
            *data = receive(length);
            return Reply::Ack;
        },
        tries);
}

bool StmBootloader::writeMemory(quint32 address, const QByteArray &data)
{
    Q_ASSERT(!data.isEmpty() && data.size() <= maxBlock && address % 4 == 0);
    QByteArray block(1, static_cast<char>(data.size() - 1));
    block += data;
    block.append(static_cast<char>(xorOf(block)));
    return attempt(
        QStringLiteral("Write Memory (0x31) at ") + hex(address),
        [&] {
            return exchange(cmdWrite, {addressFrame(address), block}, limits.writeMs);
        },
        1);
}

bool StmBootloader::erasePages(const QList<quint16> &pages)
{
    if (pages.isEmpty())
        return true;
    const quint16 n1 = static_cast<quint16>(pages.size() - 1);
    QByteArray count;
    count.append(static_cast<char>(n1 >> 8));
    count.append(static_cast<char>(n1 & 0xFF));
    count.append(static_cast<char>(xorOf(count)));
    QByteArray list;
    for (quint16 p : pages) {
        list.append(static_cast<char>(p >> 8));
        list.append(static_cast<char>(p & 0xFF));
    }
    list.append(static_cast<char>(xorOf(list)));
    const QString what = pages.size() == 1
                             ? QStringLiteral("Extended Erase (0x44) of page %1").arg(pages.first())
                             : QStringLiteral("Extended Erase (0x44) of pages %1 to %2")
                                   .arg(pages.first())
                                   .arg(pages.last());
    return attempt(what, [&] {
        return exchange(cmdErase, {count, list}, limits.pageEraseMs * pages.size());
    });
}

bool StmBootloader::massErase()
{
    return attempt(QStringLiteral("Extended Erase (0x44) of the whole flash"), [&] {
        return exchange(cmdErase, {QByteArray::fromHex("FFFF00")}, limits.massEraseMs);
    });
}

bool StmBootloader::go(quint32 address)
{
    return attempt(
        QStringLiteral("Go (0x21) to ") + hex(address),
        [&] { return exchange(cmdGo, {addressFrame(address)}, limits.commandMs); }, 1);
}

bool StmBootloader::writeUnprotect()
{
    return attempt(QStringLiteral("Write Unprotect (0x73)"),
                   [&] { return exchange(cmdWriteUnprotect, {QByteArray()}, limits.massEraseMs); });
}

bool StmBootloader::readoutUnprotect()
{
    return attempt(QStringLiteral("Readout Unprotect (0x92)"), [&] {
        return exchange(cmdReadoutUnprotect, {QByteArray()}, limits.massEraseMs);
    });
}

bool StmBootloader::awaitSync(int boundMs)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(boundMs);
    // A device that is still busy ignores the 0x5A; a device already synchronised takes it for
    // the start of a frame and refuses what follows: either answer means it listens again.
    const bool answered = attempt(
        QStringLiteral("synchronisation (0x5A) for %1 s").arg((boundMs + 999) / 1000),
        [&] {
            for (;;) {
                send(QByteArray(1, char(frameStart)));
                const int left = static_cast<int>(
                    duration_cast<milliseconds>(deadline - steady_clock::now()).count());
                const Reply r = waitAck(std::max(1, std::min(left, 500)));
                if (r != Reply::TimedOut || stopped || steady_clock::now() >= deadline)
                    return r == Reply::Nack ? Reply::Ack : r;
            }
        },
        1);
    if (!answered && !stopped)
        why = QStringLiteral("no answer to synchronisation (0x5A) within %1 s")
                  .arg((boundMs + 999) / 1000);
    return answered;
}
