#pragma once
// The device side of a shield's STM32 system bootloader over SPI, played by software: a flash
// of configurable size and page size, the product ID (with its family's flash size register,
// which tells the configured size), and the commands a host uses to write
// firmware (Get, Get Version, Get ID, Read Memory, Go, Write Memory, Extended Erase, Write
// Unprotect, Readout Unprotect), with erase and write busy times, write-protected pages,
// read-out protection, flash with error correction and faults on command. Not thread-safe: its
// shield (ShieldModel) calls it with its own lock held.
//
// On the wire, as the ROM does it: while idle or busy it clocks out the filler 0xA5; a frame
// starts with 0x5A (the first 0x5A after a start is the synchronisation); an acknowledge is
// clocked out as 0x00 then 0x79, a not-acknowledge as 0x1F, and each waits for the host's
// confirming 0x79 before the device goes on; answers of Get, Get Version, Get ID and Read Memory
// begin with one dummy byte 0x00. One simplification: a frame starts only with the first byte
// of a transfer, so a 0x5A inside the driver's link frames is never taken for one.
//
// The image convention of the simulator: an image runs when the word at its start (the initial
// stack pointer) is not blank (0xFFFFFFFF); it declares its firmware number with the four bytes
// "KVTF" at offset 0x400 from its start, followed by the number as a 16-bit little-endian word.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <set>
#include <vector>

class BootloaderModel
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr quint32 flashBase = 0x08000000;
    static constexpr quint32 firmwareTagOffset = 0x400;
    static constexpr char firmwareTag[5] = "KVTF";
    static constexpr quint8 filler = 0xA5;
    static constexpr quint8 version = 0x11;

    struct Config {
        quint16 productId = 0x460;  // STM32G07x/G08x
        quint32 flashSize = 128 * 1024;
        quint32 pageSize = 2048;
        int pageEraseMs = 2;  // busy time per erased page
        int massEraseMs = 40;
        int writeMs = 0;  // busy time per written block
    };

    // Nack: the command is refused. LoseByte: one byte of its address or data never arrives.
    // Timeout: it is never answered. AckLost: it is carried out (a write, an erase, a Go) but
    // its last acknowledge never goes out. Stop: the chip stops answering anything until it
    // starts afresh.
    enum class Fault { Nack, LoseByte, Timeout, AckLost, Stop };
    // What the device does after its last answer went out.
    enum class Action { None, Jump, Reset };

    BootloaderModel();

    // New size or page size: the flash is blank afterwards.
    void configure(const Config &config);
    Config config() const { return cfg; }
    void setBusyTimes(int pageEraseMs, int writeMs, int massEraseMs)
    {
        cfg.pageEraseMs = pageEraseMs;
        cfg.writeMs = writeMs;
        cfg.massEraseMs = massEraseMs;
    }
    // Flash with error correction: each flash word of `unit` bytes (8 or 16) is programmed once
    // after an erase; a write over a programmed word, or not on whole words, is refused. 0: off.
    void setErrorCorrection(int unit);
    // A fresh start of the ROM: not synchronised, nothing queued; the flash stays.
    void restart();

    // One full-duplex transfer: the bytes clocked out while `sent` comes in.
    QByteArray transfer(const QByteArray &sent, Clock::time_point now = Clock::now());
    // Taken once: what the last answer asked for (a jump to `address`, or a reset).
    Action takeAction(quint32 *address);

    // The flash and its protection.
    const QByteArray &flash() const { return memory; }
    void program(quint32 offset, const QByteArray &bytes);  // as written, no AND
    void eraseAll();
    bool blankAt(quint32 address) const;  // the word at address is blank (or outside flash)
    // The firmware number an image at `address` declares; false when it declares none.
    bool declaredFirmware(quint32 address, quint16 *firmware) const;
    // Makes an image that runs at the start of the flash and declares `firmware` (tests).
    static QByteArray makeImage(int size, quint16 firmware);
    void protectPages(quint32 first, quint32 count);
    void setReadoutProtection(bool on) { readoutProtected = on; }
    void unprotect();

    // The Nth command (counted from 1) with code `command` from now gets the fault.
    void injectFault(Fault fault, quint8 command, int nth);
    // Command codes by name (get, version, id, read, go, write, erase); -1 for none.
    static int commandCode(const QString &name);

private:
    enum class State {
        Unsynced,
        Idle,
        Code,          // got 0x5A, waiting for the code
        Complement,    // got the code, waiting for its complement
        AwaitConfirm,  // an ACK or NACK went out; waiting for the host's 0x79
        Address,       // 4 address bytes and their XOR
        ReadLength,    // N-1 and its complement
        WriteData,     // N-1, N bytes, XOR
        EraseCount,    // 2 bytes and their XOR
        ErasePages,    // 2 bytes per page and their XOR
        Stalled,       // a time-out fault: silent until the next frame
    };

    void receive(quint8 byte, bool firstOfTransfer, Clock::time_point now);
    void command(quint8 code);
    void phaseDone(Clock::time_point now);  // the bytes of a phase are in
    void takeAddress(const QByteArray &bytes);
    void takeReadLength(const QByteArray &bytes);
    void takeBlock(const QByteArray &bytes, Clock::time_point now);
    void takeEraseCount(const QByteArray &bytes, Clock::time_point now);
    void takeErasePages(const QByteArray &bytes, Clock::time_point now);
    void answerAck(State next, Clock::time_point readyAt = Clock::time_point());
    void answerNack();
    void queue(const QByteArray &bytes, Clock::time_point readyAt = Clock::time_point());
    bool pagesProtected(quint32 firstPage, quint32 lastPage) const;
    // What Read Memory gets: the flash, or the flash size register of the product ID's family.
    bool readable(quint32 address, quint32 count, QByteArray *data) const;
    quint32 pageCount() const { return cfg.flashSize / cfg.pageSize; }
    bool faultFor(quint8 code, Fault *fault);
    // The last acknowledge of a command carried out, unless a fault loses it.
    void answerDone(Clock::time_point readyAt);
    void markProgrammed(quint32 offset, int length, bool programmed);

    struct Pending {
        Fault fault;
        quint8 command;
        int left;
    };

    Config cfg;
    QByteArray memory;
    std::set<quint32> protectedPages;
    bool readoutProtected = false;
    QList<Pending> faults;
    int eccUnit = 0;
    std::vector<bool> programmedWords;  // with error correction: by flash word
    bool stopped = false;               // a Stop fault: silent until the next start
    Clock::time_point busyUntil;        // silent until then: a mass erase after its reset
    int busyAfterResetMs = 0;

    State state = State::Unsynced;
    State afterConfirm = State::Idle;
    quint8 currentCode = 0;
    Fault currentFault = Fault::Nack;
    bool faulty = false;  // the command in progress carries currentFault
    QByteArray phase;     // bytes of the phase in progress
    int phaseLength = 0;
    quint32 address = 0;
    QByteArray out;  // bytes to clock out
    Clock::time_point outReadyAt;
    QByteArray afterConfirmOut;  // queued once the host confirms
    Action afterConfirmAction = Action::None;
    Action actionAfterOut = Action::None;
    Action action = Action::None;
    quint32 actionAddress = 0;
};
