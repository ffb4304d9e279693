#include "sim/shieldmodel.h"

#include "link/crc16.h"
#include "link/frame.h"
#include "link/spicommand.h"

#include <cmath>

namespace {

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

const QByteArray &silenceBlock()
{
    static const QByteArray block = [] {
        QByteArray b(Frame::audioSize, '\0');
        Frame::fillSilence(b, 0);
        return b;
    }();
    return block;
}

bool validFrame(const QByteArray &control)
{
    return Frame::hasValidStart(control) &&
           CRC16().buf_crc_comparision(control, Frame::controlSize);
}

}  // namespace

ShieldModel::ShieldModel(quint8 address) : address(address)
{
    identity.id0 += address;  // every shield of a set has its own unique ID
    startAfresh();
    startCount = 0;
}

QByteArray ShieldModel::toneBlock(quint32 packetIndex)
{
    QByteArray block(Frame::audioSize, '\0');
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < Frame::audioSize / 2; ++i) {
        const quint32 sample = packetIndex * (Frame::audioSize / 2) + static_cast<quint32>(i);
        const double phase = 2.0 * pi * static_cast<double>(sample % 16) / 16.0;
        const auto value = static_cast<quint16>(0x7FFF + std::lround(8000.0 * std::sin(phase)));
        block[2 * i] = static_cast<char>(value & 0xFF);
        block[2 * i + 1] = static_cast<char>(value >> 8);
    }
    return block;
}

void ShieldModel::startAfresh()
{
    // The ROM decides: the boot jumper, or a blank flash (its empty check), keep it there.
    bootloader = bootloaderOnReset || bootJumper || rom.blankAt(BootloaderModel::flashBase);
    bootloaderOnReset = false;
    rom.restart();
    if (!bootloader)
        startApplication(BootloaderModel::flashBase);
    prepared = zeros(Frame::shortSize);
    lastCommand.clear();
    lastReply.clear();
    events.clear();
    eventToggle = 1;
    eventJustOffered = false;
    audio = false;
    audioPacket = 0;
    intercomIndex = 0;
    virtualList.fill(0);
    blackList.fill(0);
    pendingAck79 = false;
    ack79AfterEvents = false;
    spoilReply = false;
    // A fresh start has lost whatever the host told the shield; telling it its intercom index
    // again (identification) makes it whole.
    lostInit = true;
    ++startCount;
    tell(bootloader ? QStringLiteral("started in its bootloader")
                    : QStringLiteral("started its application"));
}

void ShieldModel::setObserver(Observer newObserver)
{
    std::lock_guard<std::mutex> lock(mutex);
    observer = std::move(newObserver);
}

void ShieldModel::tell(const QString &what) const
{
    if (observer)
        observer(address, what);
}

QString ShieldModel::describeCommand(const QByteArray &frame)
{
    const quint8 code = Frame::code(frame);
    const QString n16 = QString::number(Frame::u16At4(frame));
    const QString b5 = QString::number(Frame::byte(frame, 5));
    switch (code) {
    case SPIcommand::READ_FIRMWARE: return QStringLiteral("read firmware");
    case SPIcommand::READ_SHIELD: return QStringLiteral("read shield");
    case SPIcommand::READ_INTERCOM: return QStringLiteral("read intercom");
    case SPIcommand::READ_VID0: return QStringLiteral("read id 0");
    case SPIcommand::READ_VID1: return QStringLiteral("read id 1");
    case SPIcommand::READ_VID2: return QStringLiteral("read id 2");
    case SPIcommand::PICKUP: return QStringLiteral("pickup");
    case SPIcommand::DROP: return QStringLiteral("drop");
    case SPIcommand::DIAL: return QStringLiteral("dial ") + n16;
    case SPIcommand::PHONE_DETECT: return QStringLiteral("phonedetect ") + n16;
    case SPIcommand::OPEN: return QStringLiteral("open door ") + b5;
    case SPIcommand::SET_INTERCOM: return QStringLiteral("set intercom ") + b5;
    case SPIcommand::VIRTUAL_LIST_WORD:
        return QStringLiteral("virtual list word ") + QString::number(Frame::u16At2(frame));
    case SPIcommand::BLACK_LIST_WORD:
        return QStringLiteral("black list word ") + QString::number(Frame::u16At2(frame));
    case SPIcommand::AUDIO_PLAY: return QStringLiteral("audio ") + (b5 == QLatin1String("0") ? QStringLiteral("off") : QStringLiteral("on"));
    case SPIcommand::SPI_LOOP_RETURN:
        return QStringLiteral("loop return ") + QString::number(Frame::u32At2(frame));
    case SPIcommand::PING_1: return QStringLiteral("ping 1");
    case SPIcommand::PING_2: return QStringLiteral("ping 2");
    case SPIcommand::REBOOT_SHIELD: return QStringLiteral("reboot");
    default:
        return QStringLiteral("command 0x") + QString::number(code, 16);
    }
}

QString ShieldModel::describeEvent(const QByteArray &frame)
{
    const quint8 code = Frame::code(frame);
    switch (code) {
    case 0x80: return QStringLiteral("dial ") + QString::number(Frame::u16At4(frame));
    case 0x81: return QStringLiteral("pickup");
    case 0x82: return QStringLiteral("open");
    case 0x83: return QStringLiteral("hangup");
    case 0x84: return QStringLiteral("phone ") + QString::number(Frame::byte(frame, 5));
    case 0x85: return QStringLiteral("pickup with audio");
    case 0x86: return QStringLiteral("key ") + QString::number(Frame::u16At4(frame));
    case 0xE0: return QStringLiteral("loop ") + QString::number(Frame::u32At2(frame));
    case 0xE1: return QStringLiteral("error 0x") + QString::number(Frame::u32At2(frame), 16);
    case 0xE2: return QStringLiteral("debug text");
    case 0xE3: return QStringLiteral("debug ") + QString::number(Frame::u32At2(frame));
    default:
        return QStringLiteral("event 0x") + QString::number(code, 16);
    }
}

QByteArray ShieldModel::transfer(const QByteArray &sent)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++transferCount;
    if (heldInReset)
        return zeros(sent.size());
    if (bootloader)
        return bootloaderTransfer(sent);
    if (sent.size() < Frame::shortSize)
        return zeros(sent.size());  // the application speaks in frames only
    return frameTransfer(sent);
}

QByteArray ShieldModel::frameTransfer(const QByteArray &sent)
{
    if (mute)
        return zeros(sent.size());

    QByteArray out = zeros(sent.size());
    QByteArray control = prepared;
    if (pendingAck79) {
        control[Frame::startByte] = static_cast<char>(Frame::bootloaderAck);
        pendingAck79 = false;
    } else if (spoilReply && Frame::hasValidStart(control) && !Frame::isEvent(control)) {
        spoilReply = false;
        control[Frame::crcLow] = static_cast<char>(Frame::byte(control, Frame::crcLow) ^ 0x5A);
    } else {
        damage(&control, &framesSinceCorrupt);
    }
    out.replace(0, Frame::shortSize, control);
    if (sent.size() >= Frame::longSize) {
        QByteArray audioOut;
        if (!audio) {
            audioOut = silenceBlock();
        } else if (loopback && !hostAudio.isEmpty()) {
            audioOut = hostAudio;
        } else {
            audioOut = toneBlock(audioPacket++);
        }
        out.replace(Frame::audioOffset, Frame::audioSize, audioOut);
    }

    // Noise on the way in too: every Nth frame from the driver arrives damaged.
    QByteArray received = sent.left(Frame::shortSize);
    if (noise != Noise::IdleOnly)
        damage(&received, &receivedSinceCorrupt);
    receiveControl(received);
    if (sent.size() >= Frame::longSize && audio) {
        hostAudio = sent.mid(Frame::audioOffset, Frame::audioSize);
        hostAudioCount += Frame::audioSize;
        if (hostAudio != silenceBlock()) {
            hostBlocks.append(hostAudio);
            if (hostBlocks.size() > 4096)
                hostBlocks.removeFirst();
        }
    }
    prepared = nextControl();
    return out;
}

void ShieldModel::damage(QByteArray *frame, int *sinceLast)
{
    if (corruptEvery <= 0)
        return;
    if (noise == Noise::CrcOnly) {
        if (Frame::start0(*frame) == 0 || ++*sinceLast < corruptEvery)
            return;
        *sinceLast = 0;
        (*frame)[Frame::crcLow] = static_cast<char>(Frame::byte(*frame, Frame::crcLow) ^ 0x5A);
        return;
    }
    if (noise == Noise::IdleOnly) {
        if (*frame != zeros(Frame::shortSize) || ++*sinceLast < corruptEvery)
            return;
        *sinceLast = 0;
        // Noise in the body of "nothing to say": the start byte stays 0, so no reading of it
        // can restart the link or be taken for a frame.
        const auto value = static_cast<char>(1 + (noiseState >> 8) % 255);  // before this draw
        (*frame)[1 + static_cast<int>(nextNoise() % (Frame::shortSize - 1))] = value;
        return;
    }
    if (++*sinceLast < corruptEvery)
        return;
    *sinceLast = 0;
    nextNoise();
    const int position = static_cast<int>(noiseState % Frame::shortSize);
    const auto flip = static_cast<quint8>(1 + (noiseState >> 8) % 255);
    (*frame)[position] = static_cast<char>(Frame::byte(*frame, position) ^ flip);
}

quint32 ShieldModel::nextNoise()
{
    // xorshift32: small, the same on every platform, and good enough to spread the damage.
    noiseState ^= noiseState << 13;
    noiseState ^= noiseState >> 17;
    noiseState ^= noiseState << 5;
    return noiseState;
}

QByteArray ShieldModel::bootloaderTransfer(const QByteArray &sent)
{
    const QByteArray out = rom.transfer(sent);
    quint32 address = 0;
    switch (rom.takeAction(&address)) {
    case BootloaderModel::Action::Jump:
        if (rom.blankAt(address)) {
            // Nothing runs there: the shield ends up in its bootloader again.
            tell(QStringLiteral("bootloader: go to 0x%1: no application there")
                     .arg(address, 8, 16, QLatin1Char('0')));
            rom.restart();
            break;
        }
        tell(QStringLiteral("bootloader: go to the application"));
        bootloaderOnReset = false;
        startAfresh();
        if (bootloader) {  // the jumper: a Go still starts the application
            bootloader = false;
            startApplication(address);
        }
        break;
    case BootloaderModel::Action::Reset:
        tell(QStringLiteral("bootloader: option bytes reloaded, restarting"));
        startAfresh();
        break;
    case BootloaderModel::Action::None:
        break;
    }
    return out;
}

void ShieldModel::startApplication(quint32 address)
{
    quint16 declared = 0;
    if (rom.declaredFirmware(address, &declared))
        identity.firmware = declared;
}

void ShieldModel::receiveControl(const QByteArray &control)
{
    if (!validFrame(control))
        return;  // idle frames and damaged frames alike
    const quint8 code = Frame::code(control);
    if (code == SPIcommand::PING_1) {
        // A ping comes while the driver looks for this shield: its command toggle starts anew.
        lastCommand.clear();
        executed.append(control);
        tell(QStringLiteral("executed ping 1"));
        lastReply = makeFrame(Frame::start0(control), code, 0);
        pendingReply = lastReply;
        return;
    }
    if (Frame::isEvent(control)) {
        if (!events.isEmpty() && control == events.first()) {
            tell(QStringLiteral("event acknowledged: ") + describeEvent(control));
            acknowledged.append(events.takeFirst());
            eventJustOffered = false;
            if (ack79AfterEvents && events.isEmpty()) {
                ack79AfterEvents = false;
                pendingAck79 = true;
            }
        }
        return;
    }
    if (control != lastCommand) {
        lastCommand = control;
        lastReply = execute(control);
        executed.append(control);
        tell(QStringLiteral("executed ") + describeCommand(control));
    }
    pendingReply = lastReply;
}

QByteArray ShieldModel::execute(const QByteArray &command)
{
    const quint8 code = Frame::code(command);
    quint32 payload = 0;
    switch (code) {
    case SPIcommand::READ_FIRMWARE:
        payload = quint32(identity.beta) << 16 | identity.firmware;
        break;
    case SPIcommand::READ_SHIELD:
        payload = quint32(identity.revision) << 16 | identity.shield;
        break;
    case SPIcommand::READ_INTERCOM:
        payload = intercomIndex;
        break;
    case SPIcommand::READ_VID0:
        payload = identity.id0;
        break;
    case SPIcommand::READ_VID1:
        payload = identity.id1;
        break;
    case SPIcommand::READ_VID2:
        payload = identity.id2;
        break;
    case SPIcommand::DIAL:
    case SPIcommand::PHONE_DETECT:
        payload = busy ? 0x0000FFFF : 0;
        break;
    case SPIcommand::SET_INTERCOM:
        intercomIndex = Frame::byte(command, 5);
        lostInit = false;
        break;
    case SPIcommand::VIRTUAL_LIST_WORD:
    case SPIcommand::BLACK_LIST_WORD: {
        const quint16 index = Frame::u16At2(command);
        if (index < virtualList.size())
            (code == SPIcommand::VIRTUAL_LIST_WORD ? virtualList : blackList)[index] =
                Frame::u16At4(command);
        break;
    }
    case SPIcommand::AUDIO_PLAY:
        audio = Frame::byte(command, 5) != 0;
        audioPacket = 0;
        hostAudio.clear();
        payload = audio ? 1 : 0;
        break;
    case SPIcommand::PING_2:
        payload = lostInit ? 0xFF : 0;
        lostInit = false;
        break;
    default:
        break;
    }
    return makeFrame(Frame::start0(command), code, payload);
}

QByteArray ShieldModel::nextControl()
{
    if (!pendingReply.isEmpty()) {
        QByteArray reply = pendingReply;
        pendingReply.clear();
        return reply;
    }
    if (!events.isEmpty()) {
        // Offered, then one transfer for the acknowledgement to come back, then offered again.
        if (eventJustOffered) {
            eventJustOffered = false;
            return zeros(Frame::shortSize);
        }
        eventJustOffered = true;
        return events.first();
    }
    return zeros(Frame::shortSize);
}

QByteArray ShieldModel::makeFrame(quint8 start, quint8 code, quint32 payload) const
{
    QByteArray frame = Frame::compose32(code, payload);
    frame[Frame::startByte] = static_cast<char>(start);
    CRC16().buf_crc_add(frame, Frame::controlSize);
    return frame;
}

void ShieldModel::setReset(bool held)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (held) {
        heldInReset = true;
    } else if (heldInReset) {
        heldInReset = false;
        startAfresh();
    }
}

void ShieldModel::setIdentity(const Identity &value)
{
    std::lock_guard<std::mutex> lock(mutex);
    identity = value;
}

void ShieldModel::raiseEvent(quint8 code, quint32 payload)
{
    std::lock_guard<std::mutex> lock(mutex);
    const quint8 start = eventToggle ? (Frame::start | Frame::toggleBit) : Frame::start;
    eventToggle ^= 1;
    events.append(makeFrame(start, code | Frame::eventBit, payload));
}

void ShieldModel::raiseDial(quint16 number, quint8 addressIndex)
{
    raiseEvent(0x80, quint32(addressIndex) << 16 | number);
}

void ShieldModel::raiseKey(quint16 key, quint8 addressIndex)
{
    raiseEvent(0x86, quint32(addressIndex) << 16 | key);
}

void ShieldModel::setMute(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    mute = value;
}

void ShieldModel::setCorruptEvery(int n, Noise kind)
{
    std::lock_guard<std::mutex> lock(mutex);
    corruptEvery = n;
    noise = kind;
    noiseState = 0x2545F491u + address;  // fixed start: the same damage in every run
    framesSinceCorrupt = 0;
    receivedSinceCorrupt = 0;
}

void ShieldModel::setBusy(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    busy = value;
}

void ShieldModel::setLostInit(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    lostInit = value;
}

void ShieldModel::setLoopback(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    loopback = value;
}

void ShieldModel::setBootloaderOnReset(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    bootloaderOnReset = value;
}

void ShieldModel::enterBootloader()
{
    std::lock_guard<std::mutex> lock(mutex);
    bootloaderOnReset = true;
    startAfresh();
}

void ShieldModel::eraseFlash()
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.eraseAll();
    startAfresh();
}

void ShieldModel::configureFlash(const BootloaderModel::Config &config)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.configure(config);
    startAfresh();
}

void ShieldModel::writeFlash(quint32 offset, const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.program(offset, bytes);
}

QByteArray ShieldModel::flash() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rom.flash();
}

void ShieldModel::protectPages(quint32 first, quint32 count)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.protectPages(first, count);
}

void ShieldModel::setReadoutProtection(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.setReadoutProtection(on);
}

void ShieldModel::setBootJumper(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    bootJumper = on;
}

void ShieldModel::setBusyTimes(int pageEraseMs, int writeMs, int massEraseMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.setBusyTimes(pageEraseMs, writeMs, massEraseMs);
}

void ShieldModel::setErrorCorrection(int unit)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.setErrorCorrection(unit);
}

void ShieldModel::injectBootloaderFault(BootloaderModel::Fault fault, quint8 command, int nth)
{
    std::lock_guard<std::mutex> lock(mutex);
    rom.injectFault(fault, command, nth);
}

quint16 ShieldModel::firmware() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return identity.firmware;
}

void ShieldModel::sendBootloaderAck()
{
    std::lock_guard<std::mutex> lock(mutex);
    pendingAck79 = true;
}

void ShieldModel::spoilNextReply()
{
    std::lock_guard<std::mutex> lock(mutex);
    spoilReply = true;
}

void ShieldModel::sendBootloaderAckAfterEvents()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (events.isEmpty())
        pendingAck79 = true;
    else
        ack79AfterEvents = true;
}

QList<QByteArray> ShieldModel::executedCommands() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return executed;
}

QList<QByteArray> ShieldModel::acknowledgedEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return acknowledged;
}

int ShieldModel::pendingEvents() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
}

bool ShieldModel::audioOn() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return audio;
}

bool ShieldModel::inBootloader() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bootloader;
}

quint8 ShieldModel::intercom() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return intercomIndex;
}

quint16 ShieldModel::virtualListWord(int k) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return virtualList.at(static_cast<size_t>(k));
}

quint16 ShieldModel::blackListWord(int k) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return blackList.at(static_cast<size_t>(k));
}

qint64 ShieldModel::hostAudioBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return hostAudioCount;
}

QList<QByteArray> ShieldModel::hostAudioBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return hostBlocks;
}

QByteArray ShieldModel::lastHostAudio() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return hostAudio;
}

int ShieldModel::transfers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return transferCount;
}

int ShieldModel::starts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return startCount;
}
