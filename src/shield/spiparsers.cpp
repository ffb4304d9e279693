#include "shield/spiparsers.h"

#include "base/console.h"
#include "config/settings.h"
#include "link/frame.h"
#include "link/framecodes.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "shield/watchdial.h"
#include "shield/watchdrop.h"

#include <QMetaType>
#include <QThread>

namespace {

using namespace FrameCodes;

// Single payload bytes read on their own.
constexpr int addressIndexByte = 3;  // the address index of a dial or key behind the gate
constexpr int lastPayloadByte = 5;

// The value of a busy line reply to a dial or phone detection.
constexpr quint32 busyValue = 0x0000FFFF;
// Byte 5 of a ping-2 reply when the shield lost what the identification set up.
constexpr quint8 lostInitValue = 0xFF;

// Texts written by more than one path.
const char *const pickupText = "pickup";

QString errorMessage(quint32 code)
{
    if (const char *name = errorName(code))
        return QLatin1String(name);
    return QStringLiteral("Uncnown code: 0x") + QString::number(code, 16);
}

QString phoneText(quint8 result)
{
    switch (result) {
        case 1:
            return QStringLiteral("phone detected");
        case 2:
            return QStringLiteral("phone short");
        case 3:
            return QStringLiteral("phone shortline");
        case 4:
            return QStringLiteral("phone pickup");
        default:
            return QStringLiteral("phone notfound");
    }
}

// Up to four characters, byte 5 first, ending at the first zero byte. Control bytes show as '?':
// a line feed or carriage return from a noisy shield would otherwise cut the host's line in two.
QString debugText(const QByteArray &frame)
{
    QByteArray text;
    for (int i = lastPayloadByte; i >= Frame::payloadByte; --i) {
        const quint8 c = Frame::byte(frame, i);
        if (c == 0)
            break;
        text.append(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    return QString::fromLatin1(text);
}

}  // namespace

SPIparsers::SPIparsers(Settings *settings, Stand *stand, SPIcommand *command, int dialWindowMs,
                       quint8 dialLimit, int dropIntervalMs)
    : QObject(nullptr), settings(settings), stand(stand), spiCommand(command), callLedger(settings)
{
    qRegisterMetaType<quint8>("quint8");
    qRegisterMetaType<QByteArray>("QByteArray");
    watchDial = new WatchDial(dialWindowMs, dialLimit, this);
    for (auto &drop : watchDrop) {
        drop = new WatchDrop(dropIntervalMs, this);
        connect(drop, &WatchDrop::emergency_restart, this, &SPIparsers::emergency_drop);
    }
}

WatchDrop *SPIparsers::getWatchDrop(quint8 shield)
{
    return shield < maxShields ? watchDrop[shield] : nullptr;
}

void SPIparsers::shieldLine(quint8 shield, const QString &text) const
{
    Console::out.line(settings->addressPrefix(shield) + text);
}

void SPIparsers::debugLine(quint8 shield, const QString &text) const
{
    Console::out.line(QStringLiteral("#DEBUG") + settings->addressTag(shield) + QStringLiteral(": ") + text);
}

QString SPIparsers::numberText(quint8 shield, const QString &keyword, const QByteArray &frame) const
{
    QString text = keyword + QString::number(Frame::u16At4(frame));
    if (settings->shieldState[shield].getFlagAdrGate())
        text += QLatin1Char(' ') + QString::number(Frame::byte(frame, addressIndexByte));
    return text;
}

void SPIparsers::parser_command(quint8 shield, QByteArray frame, SPIconnector *link)
{
    if (shield >= maxShields)
        return;
    ShieldState &record = settings->shieldState[shield];
    switch (Frame::code(frame)) {
        case SPIcommand::READ_FIRMWARE:
            record.setFirmware(Frame::u16At4(frame));
            record.setBeta(Frame::u16At2(frame));
            record.firmwareResponse = true;
            break;
        case SPIcommand::READ_SHIELD:
            record.setShield(Frame::u16At4(frame));
            record.setRevision(Frame::u16At2(frame));
            record.shieldResponse = true;
            break;
        case SPIcommand::READ_INTERCOM:
            record.setIntercom(Frame::byte(frame, lastPayloadByte));
            record.intercomResponse = true;
            break;
        case SPIcommand::READ_VID0:
            record.setId_0(Frame::u32At2(frame));
            record.id0Response = true;
            break;
        case SPIcommand::READ_VID1:
            record.setId_1(Frame::u32At2(frame));
            record.id1Response = true;
            break;
        case SPIcommand::READ_VID2:
            record.setId_2(Frame::u32At2(frame));
            record.id2Response = true;
            break;
        case SPIcommand::DIAL:
        case SPIcommand::PHONE_DETECT:
            if (Frame::u32At2(frame) == busyValue)
                shieldLine(shield, QStringLiteral("busy"));
            break;
        case SPIcommand::VIRTUAL_LIST_WORD:
            record.virtualListAck = true;
            break;
        case SPIcommand::BLACK_LIST_WORD:
            record.blackListAck = true;
            break;
        case SPIcommand::AUDIO_PLAY:
            // The audio command is answered: the transfer loop stops alternating the frame size.
            if (link)
                link->long_packet_repeats = 0;
            Q_EMIT play_sound(Frame::byte(frame, lastPayloadByte) != 0, shield);
            break;
        case SPIcommand::PING_1:
            // A shield that answers its first ping has just (re)started: no call is in progress.
            watchDrop[shield]->detect_drop();
            record.ping1Response = true;
            break;
        case SPIcommand::PING_2:
            record.ping2Response = true;
            if (Frame::byte(frame, lastPayloadByte) == lostInitValue) {
                // Out of service before its call ends, so that the host's commands for it are
                // refused from here on. The address is written in single-shield mode too. The
                // shield forgot its call with the rest: it ends right after the warning, before
                // the shield is identified again.
                record.lostInit = true;
                callLedger.close(shield,
                                 {QString::number(shield) +
                                  QStringLiteral(" WARNING: SPI: Shield lost initialization")});
            } else {
                record.lostInit = false;
            }
            break;
        default:
            break;
    }
    // Most replies answer the supervisor's requests (pings, identity, list words): it takes them
    // at its next tick.
    settings->supervisorWake.ring();
}

void SPIparsers::parser_error(quint32 code, quint8 shield)
{
    Console::out.line(QStringLiteral("#ERROR") + settings->addressTag(shield) + QStringLiteral(": ") +
                      errorMessage(code));
}

void SPIparsers::parser_event(quint8 shield, QByteArray frame, SPIconnector *link)
{
    if (shield >= maxShields)
        return;
    switch (Frame::code(frame)) {
        case EVENT_DIAL:
            watchDial->DialDetect();
            // A dial the flood silences is one the host never hears of: it opens no call.
            if (!watchDial->IsFlood())
                callLedger.open(shield, numberText(shield, QStringLiteral("dial "), frame));
            watchDrop[shield]->detect_dial();  // during a flood too
            break;
        case EVENT_PICKUP:
            callLedger.open(shield, QLatin1String(pickupText));
            break;
        case EVENT_OPEN:
            shieldLine(shield, QStringLiteral("open"));
            break;
        case EVENT_DROP:
            // Audio stops before the host hears of the hang-up.
            if (link && link->get_long_packet() && spiCommand)
                spiCommand->command_audio_play(shield, false);
            // A hang-up the flood silences leaves the call open, so the next end the driver
            // tells (a lost link, a restart) ends it; one of a call the host already heard the
            // end of, or never heard of, tells nothing.
            if (!watchDial->IsFlood())
                callLedger.close(shield);
            watchDrop[shield]->detect_drop();
            break;
        case EVENT_PHONE:
            shieldLine(shield, phoneText(Frame::byte(frame, lastPayloadByte)));
            break;
        case EVENT_PICKUP_AUDIO:
            Q_EMIT play_sound(true, shield);
            callLedger.open(shield, QLatin1String(pickupText));
            break;
        case EVENT_KEY:
            watchDial->DialDetect();
            if (!watchDial->IsFlood())
                shieldLine(shield, numberText(shield, QStringLiteral("keyopen "), frame));
            break;
        case EVENT_LOOP_TEST:
            if (spiCommand)
                spiCommand->command_spi_loop_return(shield, Frame::u32At2(frame));
            break;
        case EVENT_ERROR:
            parser_error(Frame::u32At2(frame), shield);
            break;
        case EVENT_DEBUG_TEXT:
            debugLine(shield, debugText(frame));
            break;
        case EVENT_DEBUG_NUMBER:
            debugLine(shield, QString::number(Frame::u32At2(frame)));
            break;
        default:
            break;
    }
}

void SPIparsers::parser_audio(quint8 shield, QByteArray frame)
{
    if (frame.size() < Frame::longSize)
        return;
    Q_EMIT udp_write(shield, frame.mid(Frame::audioOffset, Frame::audioSize));
}

void SPIparsers::link_lost(quint8 shield)
{
    callLedger.close(shield);
}

void SPIparsers::emergency_drop()
{
    Console::out.line(QStringLiteral("#ERROR: Drop not detect. Emergency restart."));
    if (settings->multiShield) {
        for (quint8 i = 0; i < maxShields; ++i) {
            if (settings->shieldState[i].getState() != ShieldState::STATE_ONLINE)
                continue;
            watchDrop[i]->detect_drop();
            // Every shield in service hears it, in a call or not; its call is over.
            callLedger.close(i, {}, CallLedger::Drop::Always);
            Q_EMIT play_sound(false, i);
        }
    } else {
        callLedger.close(0, {}, CallLedger::Drop::Always);
        Q_EMIT play_sound(false, 0);
    }
    QThread::msleep(5);
    Q_EMIT emergency_restart();
}
