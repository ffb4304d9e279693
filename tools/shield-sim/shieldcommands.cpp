#include "shield-sim/shieldcommands.h"

#include <QMap>

#include <map>

using ShieldCommands::Handler;
using ShieldCommands::Line;
using ShieldCommands::parseNumber;

namespace {

// Event codes a shield raises.
const quint8 eventPickup = 0x81;
const quint8 eventOpen = 0x82;
const quint8 eventHangup = 0x83;
const quint8 eventPhone = 0x84;
const quint8 eventPickupAudio = 0x85;
const quint8 eventLoop = 0xE0;
const quint8 eventError = 0xE1;
const quint8 eventDebugText = 0xE2;
const quint8 eventDebugNumber = 0xE3;

bool parseOnOff(const QString &word, bool *value)
{
    if (word == QLatin1String("on") || word == QLatin1String("1")) {
        *value = true;
        return true;
    }
    if (word == QLatin1String("off") || word == QLatin1String("0")) {
        *value = false;
        return true;
    }
    return false;
}

// An event with no value of its own.
template <quint8 code>
bool plainEvent(const Line &, ShieldModel &shield)
{
    shield.raiseEvent(code, 0);
    return true;
}

// An event with the 32-bit value after the address.
template <quint8 code>
bool valueEvent(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.hasA, code == eventError ? "S CODE" : "S VALUE"))
        return false;
    shield.raiseEvent(code, l.a);
    return true;
}

bool dial(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.hasA && l.a <= 0xFFFF, "S NUMBER [INDEX]"))
        return false;
    shield.raiseDial(static_cast<quint16>(l.a), static_cast<quint8>(l.hasB ? l.b : 0));
    return true;
}

bool key(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.hasA && l.a <= 0xFFFF, "S VALUE [INDEX]"))
        return false;
    shield.raiseKey(static_cast<quint16>(l.a), static_cast<quint8>(l.hasB ? l.b : 0));
    return true;
}

bool phone(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.hasA && l.a <= 0xFF, "S RESULT"))
        return false;
    shield.raiseEvent(eventPhone, l.a);
    return true;
}

bool debugText(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.w.size() > 2, "S TEXT"))
        return false;
    // Characters go out as the shield sends them: the first in byte 5, then 4, 3, 2.
    const QByteArray text = l.w.at(2).toLatin1().left(4);
    quint32 payload = 0;
    for (int i = 0; i < text.size(); ++i)
        payload |= quint32(static_cast<quint8>(text.at(i))) << (8 * i);
    shield.raiseEvent(eventDebugText, payload);
    return true;
}

bool corrupt(const Line &l, ShieldModel &shield)
{
    static const QMap<QString, ShieldModel::Noise> kinds = {
        {QString(), ShieldModel::Noise::AnyByte},
        {QStringLiteral("crc"), ShieldModel::Noise::CrcOnly},
        {QStringLiteral("idle"), ShieldModel::Noise::IdleOnly}};
    const QString kind = l.w.size() == 4 ? l.w.at(3) : QString();
    if (!l.need(l.hasA && l.a <= 1000000 && l.w.size() <= 4 && kinds.contains(kind),
                "S N [crc|idle]"))
        return false;
    shield.setCorruptEvery(static_cast<int>(l.a), kinds.value(kind));
    return true;
}

// A setting switched on or off.
template <void (ShieldModel::*set)(bool)>
bool onOff(const Line &l, ShieldModel &shield)
{
    if (!l.need(l.hasFlag, "S on|off"))
        return false;
    (shield.*set)(l.flag);
    return true;
}

bool ack79(const Line &l, ShieldModel &shield)
{
    const bool after = l.w.size() == 3 && l.w.at(2) == QLatin1String("after");
    if (!l.need(l.w.size() == 2 || after, "S [after]"))
        return false;
    after ? shield.sendBootloaderAckAfterEvents() : shield.sendBootloaderAck();
    return true;
}

bool flash(const Line &l, ShieldModel &shield)
{
    quint32 id = 0;
    const bool hasId = l.w.size() > 4 && parseNumber(l.w.at(4), &id);
    if (!l.need(l.hasA && l.hasB && l.a >= 1024 && l.a <= 16 * 1024 * 1024 && l.b >= 8 &&
                    l.a % l.b == 0 && (l.w.size() == 4 || (hasId && id <= 0xFFFF)),
                "S SIZE PAGE [ID] (SIZE a multiple of PAGE, 1 KiB to 16 MiB)"))
        return false;
    BootloaderModel::Config config;
    config.flashSize = l.a;
    config.pageSize = l.b;
    if (hasId)
        config.productId = static_cast<quint16>(id);
    shield.configureFlash(config);
    return true;
}

bool flashTime(const Line &l, ShieldModel &shield)
{
    quint32 mass = 0;
    const bool hasMass = l.w.size() > 4 && parseNumber(l.w.at(4), &mass);
    if (!l.need(l.hasA && l.a <= 60000 && (l.w.size() == 3 || (l.hasB && l.b <= 60000)) &&
                    (l.w.size() <= 4 || (hasMass && mass <= 120000)),
                "S PAGE_MS [WRITE_MS [MASS_MS]]"))
        return false;
    shield.setBusyTimes(static_cast<int>(l.a), l.hasB ? static_cast<int>(l.b) : 0,
                        hasMass ? static_cast<int>(mass) : static_cast<int>(20 * l.a));
    return true;
}

bool protect(const Line &l, ShieldModel &shield)
{
    if (l.w.size() == 3 && l.w.at(2) == QLatin1String("readout")) {
        shield.setReadoutProtection(true);
        return true;
    }
    if (!l.need(l.hasA && (l.w.size() == 3 || (l.w.size() == 4 && l.hasB)),
                "S FIRST [COUNT] | S readout"))
        return false;
    shield.protectPages(l.a, l.hasB ? l.b : 1);
    return true;
}

bool ecc(const Line &l, ShieldModel &shield)
{
    const bool off = l.w.size() == 3 && l.w.at(2) == QLatin1String("off");
    if (!l.need(l.w.size() == 3 && (off || (l.hasA && (l.a == 8 || l.a == 16))), "S 8|16|off"))
        return false;
    shield.setErrorCorrection(off ? 0 : static_cast<int>(l.a));
    return true;
}

bool bootloaderFault(const Line &l, ShieldModel &shield)
{
    static const std::map<QString, BootloaderModel::Fault> kinds = {
        {QStringLiteral("nack"), BootloaderModel::Fault::Nack},
        {QStringLiteral("lose"), BootloaderModel::Fault::LoseByte},
        {QStringLiteral("timeout"), BootloaderModel::Fault::Timeout},
        {QStringLiteral("ackloss"), BootloaderModel::Fault::AckLost},
        {QStringLiteral("stop"), BootloaderModel::Fault::Stop}};
    quint32 nth = 1;
    const int size = l.w.size();
    const int code = size > 3 ? BootloaderModel::commandCode(l.w.at(3)) : -1;
    if (!l.need(size >= 4 && size <= 5 && kinds.count(l.w.at(2)) && code >= 0 &&
                    (size == 4 || (parseNumber(l.w.at(4), &nth) && nth >= 1)),
                "S nack|lose|timeout|ackloss|stop get|version|id|read|go|write|erase [N]"))
        return false;
    shield.injectBootloaderFault(kinds.at(l.w.at(2)), static_cast<quint8>(code),
                                 static_cast<int>(nth));
    return true;
}

// An action that takes nothing after the address.
template <void (ShieldModel::*act)()>
bool plain(const Line &, ShieldModel &shield)
{
    (shield.*act)();
    return true;
}

// A setting that the command's word alone sets (mute, unmute).
template <void (ShieldModel::*set)(bool), bool value>
bool setTo(const Line &, ShieldModel &shield)
{
    (shield.*set)(value);
    return true;
}

// The commands for one shield, by their first word.
const std::map<QString, Handler> &table()
{
    static const std::map<QString, Handler> handlers = {
        {QStringLiteral("dial"), dial},
        {QStringLiteral("key"), key},
        {QStringLiteral("pickup"), plainEvent<eventPickup>},
        {QStringLiteral("open"), plainEvent<eventOpen>},
        {QStringLiteral("hangup"), plainEvent<eventHangup>},
        {QStringLiteral("drop"), plainEvent<eventHangup>},
        {QStringLiteral("pickupaudio"), plainEvent<eventPickupAudio>},
        {QStringLiteral("phone"), phone},
        {QStringLiteral("loop"), valueEvent<eventLoop>},
        {QStringLiteral("error"), valueEvent<eventError>},
        {QStringLiteral("debugnum"), valueEvent<eventDebugNumber>},
        {QStringLiteral("debug"), debugText},
        {QStringLiteral("mute"), setTo<&ShieldModel::setMute, true>},
        {QStringLiteral("unmute"), setTo<&ShieldModel::setMute, false>},
        {QStringLiteral("corrupt"), corrupt},
        {QStringLiteral("busy"), onOff<&ShieldModel::setBusy>},
        {QStringLiteral("loopback"), onOff<&ShieldModel::setLoopback>},
        {QStringLiteral("lostinit"), setTo<&ShieldModel::setLostInit, true>},
        {QStringLiteral("spoil"), plain<&ShieldModel::spoilNextReply>},
        {QStringLiteral("bootloader"), plain<&ShieldModel::enterBootloader>},
        {QStringLiteral("ack79"), ack79},
        {QStringLiteral("blank"), plain<&ShieldModel::eraseFlash>},
        {QStringLiteral("flash"), flash},
        {QStringLiteral("flashtime"), flashTime},
        {QStringLiteral("bootjumper"), onOff<&ShieldModel::setBootJumper>},
        {QStringLiteral("protect"), protect},
        {QStringLiteral("ecc"), ecc},
        {QStringLiteral("blfault"), bootloaderFault},
    };
    return handlers;
}

}  // namespace

bool ShieldCommands::parseNumber(const QString &word, quint32 *value)
{
    bool ok = false;
    *value =
        word.startsWith(QLatin1String("0x")) ? word.mid(2).toUInt(&ok, 16) : word.toUInt(&ok, 10);
    return ok;
}

Line ShieldCommands::read(const QStringList &words, QString *answer)
{
    Line l;
    l.w = words;
    l.answer = answer;
    l.hasA = words.size() > 2 && parseNumber(words.at(2), &l.a);
    l.hasB = words.size() > 3 && parseNumber(words.at(3), &l.b);
    l.hasFlag = words.size() > 2 && parseOnOff(words.at(2), &l.flag);
    return l;
}

bool Line::need(bool ok, const char *usage) const
{
    if (!ok)
        *answer = QStringLiteral("usage: ") + w.first() + QLatin1Char(' ') + QLatin1String(usage);
    return ok;
}

Handler ShieldCommands::handler(const QString &verb)
{
    const auto it = table().find(verb);
    return it == table().end() ? nullptr : it->second;
}
