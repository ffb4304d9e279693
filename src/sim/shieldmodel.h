#pragma once
// One shield's side of the link, played by software: it answers the driver's frames by the
// link's rules, so the driver can run without a board (tests, the simulator, emulated mode).
// Thread-safe: the transfer thread calls transfer(), while a test or a control surface raises
// events, injects faults and reads what the shield saw; one mutex guards everything.
//
// What it does, as a shield would:
// - answers one transfer late: what it clocks out was prepared from the previous frame received;
// - executes a command once per new frame (a repeated frame is answered again, not executed
//   again) and echoes bytes 0 and 1 of the command in its reply;
// - raises events with its own toggle bit and offers each until the driver echoes it back;
// - plays 528-byte packets while its audio is on: a test tone, or the host's audio looped back;
// - can sit in its STM32 bootloader (BootloaderModel: flash, erase, write, read, Go): it starts
//   there when told so, when its boot jumper is set or when its flash is blank, and leaves it
//   for the application only by a Go into an image that runs;
// - faults on request: mute, bus noise on every Nth frame in both directions (any byte of the
//   control part, the start byte included, so noise can look like a bootloader byte), lost
//   initialisation, busy, a 0x79 frame, one reply with a bad CRC.

#include "sim/bootloadermodel.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <functional>
#include <mutex>

class ShieldModel
{
public:
    struct Identity {
        quint16 firmware = 23;
        quint16 beta = 0;
        quint16 shield = 12;
        quint16 revision = 3;
        quint32 id0 = 0x00330021;
        quint32 id1 = 0x3436470d;
        quint32 id2 = 0x30353932;
    };

    explicit ShieldModel(quint8 address = 0);

    // Told, in words, what the shield does: each command executed, each event acknowledged,
    // each start. Called from the thread of the transfer, with the shield's lock held: it must not
    // call back into the shield.
    using Observer = std::function<void(quint8 shield, const QString &what)>;
    void setObserver(Observer observer);
    // A command frame in words, as the observer is told it ("open door 7", "dial 300", ...).
    static QString describeCommand(const QByteArray &frame);
    static QString describeEvent(const QByteArray &frame);

    // One full-duplex transfer of sent.size() bytes while this shield is selected; returns the
    // bytes clocked back (same size).
    QByteArray transfer(const QByteArray &sent);
    // The reset line: low holds the shield (it answers zeros), a rising edge starts it afresh
    // (application running, or the bootloader if told so).
    void setReset(bool held);

    // Control.
    void setIdentity(const Identity &identity);
    void raiseEvent(quint8 code, quint32 payload);
    void raiseDial(quint16 number, quint8 addressIndex = 0);
    void raiseKey(quint16 key, quint8 addressIndex = 0);
    void setMute(bool mute);                    // clocks out zeros, executes nothing
    // Bus noise (n 0: off). AnyByte: every nth frame in each direction, idle frames included, has
    // one byte of its control part (bytes 0 to 7) changed: a pseudo-random position and a
    // pseudo-random non-zero XOR, drawn from a generator that starts from the same value at each
    // call, so a run is reproducible. A damaged start byte may read 0x79, 0x1F or 0xA5, which
    // the driver acts on without a CRC (link restart, bootloader hand-off). CrcOnly: every nth
    // frame with content in each direction has a bad CRC and nothing else, so the link never
    // restarts from it. IdleOnly: every nth reply of "nothing to say" (all zeros) has one byte
    // after its start byte changed; commands, replies and events pass unharmed.
    enum class Noise { AnyByte, CrcOnly, IdleOnly };
    void setCorruptEvery(int n, Noise noise = Noise::AnyByte);
    void setBusy(bool busy);  // dial/phone-detect replies say busy
    // The next second-ping reply reports lost initialisation, once. A shield that starts afresh
    // reports it too until it is identified again.
    void setLostInit(bool lost);
    void setLoopback(bool loopback);             // audio out = the host audio of the last packet
    void setBootloaderOnReset(bool bootloader);  // the next start is in the bootloader
    void enterBootloader();                      // now, as after a reset into it
    void sendBootloaderAck();                    // the next frame begins with 0x79
    void spoilNextReply();                       // the next reply has a bad CRC, once
    // The frame after the acknowledgement of the last pending event begins with 0x79: a restart
    // one cycle after an event (a hang-up), while the driver's answer to it is still under way.
    void sendBootloaderAckAfterEvents();
    // The bootloader's flash and its settings. A blank flash (erased here) makes the shield
    // start in its bootloader, now and at every start until an image runs.
    void eraseFlash();
    void configureFlash(const BootloaderModel::Config &config);  // blank afterwards
    void writeFlash(quint32 offset, const QByteArray &bytes);
    QByteArray flash() const;
    void protectPages(quint32 first, quint32 count);
    void setReadoutProtection(bool on);
    // BOOT0 held high: every start is in the bootloader (Go still starts the application).
    void setBootJumper(bool on);
    void setBusyTimes(int pageEraseMs, int writeMs, int massEraseMs);
    void setErrorCorrection(int unit);  // BootloaderModel::setErrorCorrection
    void injectBootloaderFault(BootloaderModel::Fault fault, quint8 command, int nth);
    quint16 firmware() const;  // what the application reports

    // Observation.
    quint8 getAddress() const { return address; }
    QList<QByteArray> executedCommands() const;  // 8-byte frames, in execution order
    QList<QByteArray> acknowledgedEvents() const;
    int pendingEvents() const;
    bool audioOn() const;
    bool inBootloader() const;
    quint8 intercom() const;
    quint16 virtualListWord(int k) const;
    quint16 blackListWord(int k) const;
    qint64 hostAudioBytes() const;   // audio bytes received from the driver while playing
    QByteArray lastHostAudio() const;
    // The host audio blocks received while playing, silence filler left out (the newest 4096).
    QList<QByteArray> hostAudioBlocks() const;
    int transfers() const;
    int starts() const;  // how often the shield started afresh (reset edges, Go commands)

    // A recognisable test tone: 256 unsigned 16-bit little-endian samples, 1/16 of the sample
    // rate, centred on the silence word 0x7FFF; packet k starts at sample 256 k.
    static QByteArray toneBlock(quint32 packetIndex);

private:
    void startAfresh();  // called with the mutex held
    QByteArray frameTransfer(const QByteArray &sent);
    QByteArray bootloaderTransfer(const QByteArray &sent);
    void receiveControl(const QByteArray &control);
    QByteArray execute(const QByteArray &command);
    QByteArray nextControl();
    QByteArray makeFrame(quint8 start, quint8 code, quint32 payload) const;

    void tell(const QString &what) const;

    mutable std::mutex mutex;
    Observer observer;
    const quint8 address;
    Identity identity;
    bool heldInReset = false;
    bool bootloader = false;
    bool bootloaderOnReset = false;
    bool mute = false;
    void damage(QByteArray *frame, int *sinceLast);  // bus noise on one control part
    quint32 nextNoise();                             // the generator's next value
    int corruptEvery = 0;
    Noise noise = Noise::AnyByte;
    quint32 noiseState = 0;       // the generator of the damage (xorshift32)
    int framesSinceCorrupt = 0;
    int receivedSinceCorrupt = 0;
    bool busy = false;
    bool lostInit = false;
    bool loopback = false;
    bool pendingAck79 = false;
    bool spoilReply = false;
    bool ack79AfterEvents = false;

    QByteArray prepared;          // control frame for the next transfer
    QByteArray lastCommand;       // last executed command frame (8 bytes)
    QByteArray lastReply;         // its reply
    QByteArray pendingReply;      // reply to clock out in the next transfer
    QList<QByteArray> events;     // raised, not yet acknowledged; front is on offer
    quint8 eventToggle = 0;       // toggle bit of the event on offer
    bool eventJustOffered = false;
    QList<QByteArray> executed;
    QList<QByteArray> acknowledged;

    bool audio = false;
    quint32 audioPacket = 0;
    QByteArray hostAudio;
    qint64 hostAudioCount = 0;
    QList<QByteArray> hostBlocks;
    quint8 intercomIndex = 0;
    std::array<quint16, 64> virtualList{};
    std::array<quint16, 64> blackList{};
    int transferCount = 0;
    int startCount = 0;

    BootloaderModel rom;
    bool bootJumper = false;
    void startApplication(quint32 address);  // called with the mutex held
};
