#pragma once
// The host side of a shield's STM32 system bootloader over SPI, for writing its firmware (the
// tool stm-flash): synchronisation, Get, Get Version, Get ID, Read Memory, Write Memory,
// Extended Erase, Go, Write Unprotect and Readout Unprotect. Works on whichever shield the caller
// has selected, through the board's full-duplex transfers. Every acknowledge is awaited by
// clocking out 0x00 until 0x79 or 0x1F comes, within a time-out of its own per operation, and
// confirmed with 0x79; no other byte value the device sends (busy filler, dummies) is relied on.
// Each operation is tried up to `attempts` times; when all fail, error() names the operation and
// its address. Write Memory and Go are sent once: a write repeated after its acknowledge was
// lost is refused by flash with error correction, and a Go repeated after the jump reaches the
// application; the caller reads back, or looks for the application. One thread at a time.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <initializer_list>

class Board;

class StmBootloader
{
public:
    enum class Reply { Ack, Nack, TimedOut };

    // Generous limits: ROM bootloaders are slow, and erase times vary with the part.
    struct Timeouts {
        int syncMs = 3000;
        int commandMs = 1000;    // a command's first acknowledge, Get answers, reads, Go
        int pageEraseMs = 5000;  // per page
        int massEraseMs = 40000;
        int writeMs = 1000;  // per block
    };
    static constexpr int attempts = 4;
    static constexpr int maxBlock = 256;
    static constexpr quint32 flashBase = 0x08000000;

    // One family's flash, by the product ID that Get ID reports.
    struct Part {
        quint16 productId;
        const char *family;
        quint32 flashSize;  // the largest of the family
        quint32 pageSize;
        int programUnit;  // bytes programmed at once: a flash word, programmed once after an erase
        quint32 sizeRegister;  // the part's own flash size in KiB, 16 bits little-endian
    };
    // The program unit assumed for a part not in the table: the largest flash word of the
    // families with an SPI bootloader (H7), so that blocks padded to it suit every one of them.
    static constexpr int anyProgramUnit = 32;
    // The families with an SPI bootloader and uniform pages; null for an unknown ID.
    static const Part *findPart(quint16 productId);
    static QList<Part> parts();

    explicit StmBootloader(Board *board);
    void setTimeouts(const Timeouts &t) { limits = t; }

    bool sync();
    // The bootloader's version and the command codes it offers.
    bool get(quint8 *version, QByteArray *commands);
    bool getVersion(quint8 *version);
    bool getId(quint16 *productId);
    // `length` 1 to 256. `tries` 1 asks once: a refusal is then an answer, not a fault to retry.
    bool readMemory(quint32 address, int length, QByteArray *data, int tries = attempts);
    // Up to 256 bytes at an address aligned on 4; the caller pads.
    bool writeMemory(quint32 address, const QByteArray &data);
    bool erasePages(const QList<quint16> &pages);
    bool massErase();
    bool go(quint32 address);
    bool writeUnprotect();
    bool readoutUnprotect();
    // After the device restarted by itself (the unprotect commands, a mass erase under way, a
    // lost Go): synchronises again and again until it answers, for at most `boundMs`.
    bool awaitSync(int boundMs);
    const Timeouts &timeouts() const { return limits; }

    QString error() const { return why; }
    // Whether the last failure was a refusal (a not-acknowledge) on every try: protection, or
    // an address the part does not take.
    bool refused() const { return refusedEveryTime; }
    // Whether the stop request ended the last operation.
    bool interrupted() const { return stopped; }
    // Tries that failed and were repeated, since the start.
    int retries() const { return retryCount; }
    // A stop request, asked between tries and while waiting (a signal handler's flag).
    void setStopCheck(std::function<bool()> check) { stopRequested = std::move(check); }

    static quint8 xorOf(const QByteArray &bytes);
    static QString hex(quint32 address);

private:
    // One try of an operation; Ack on success.
    using Try = std::function<Reply()>;
    bool attempt(const QString &what, const Try &once, int tries = attempts);
    void send(const QByteArray &bytes);
    QByteArray receive(int count);
    // The acknowledge procedure, confirmed with 0x79.
    Reply waitAck(int timeoutMs);
    Reply command(quint8 code);  // 0x5A, code, complement; its acknowledge
    // A command whose answer begins with a dummy byte: the command, and the dummy read.
    Reply query(quint8 code);
    // The command, then each part once the one before was acknowledged; the last acknowledge is
    // awaited for `lastMs`, the others for the command time. An empty part sends nothing: its
    // acknowledge is the second one of the command.
    Reply exchange(quint8 code, std::initializer_list<QByteArray> parts, int lastMs);
    static QByteArray addressFrame(quint32 address);

    Board *board;
    Timeouts limits;
    QString why;
    bool refusedEveryTime = false;
    bool stopped = false;
    int retryCount = 0;
    std::function<bool()> stopRequested;
};
