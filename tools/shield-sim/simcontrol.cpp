#include "shield-sim/simcontrol.h"

#include <QMap>

#include <functional>
#include <map>

namespace {

// Event codes a shield raises.
const quint8 eventDial = 0x80;
const quint8 eventPickup = 0x81;
const quint8 eventOpen = 0x82;
const quint8 eventHangup = 0x83;
const quint8 eventPhone = 0x84;
const quint8 eventPickupAudio = 0x85;
const quint8 eventKey = 0x86;
const quint8 eventLoop = 0xE0;
const quint8 eventError = 0xE1;
const quint8 eventDebugText = 0xE2;
const quint8 eventDebugNumber = 0xE3;

bool parseNumber(const QString &word, quint32 *value)
{
    bool ok = false;
    *value = word.startsWith(QLatin1String("0x")) ? word.mid(2).toUInt(&ok, 16)
                                                  : word.toUInt(&ok, 10);
    return ok;
}

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

}  // namespace

bool SimControl::isBlank(const QString &line)
{
    const QString t = line.trimmed();
    return t.isEmpty() || t.startsWith(QLatin1Char('#'));
}

int SimControl::waitMs(const QString &line)
{
    const QStringList w = line.simplified().split(QLatin1Char(' '));
    if (w.size() != 2 || w.first() != QLatin1String("wait"))
        return -1;
    bool ok = false;
    const int ms = w.at(1).toInt(&ok);
    return ok && ms >= 0 ? ms : -1;
}

bool SimControl::isRepeat(const QString &line)
{
    return line.simplified() == QLatin1String("repeat");
}

QString SimControl::help()
{
    return QStringLiteral(
        "Commands (S is a shield address 0-5; numbers are decimal, or hex with 0x):\n"
        "  dial S NUMBER [INDEX]   the handset dials NUMBER (event 0x80; INDEX: address index)\n"
        "  pickup S                the handset is picked up (0x81)\n"
        "  open S                  the door is opened (0x82)\n"
        "  hangup S                the handset hangs up (0x83; also: drop S)\n"
        "  phone S RESULT          phone detection result 0-4 (0x84)\n"
        "  pickupaudio S           pickup with audio (0x85)\n"
        "  key S VALUE [INDEX]     a key opens the door (0x86)\n"
        "  loop S VALUE            SPI loop-back test with a 32-bit value (0xE0)\n"
        "  error S CODE            error report, e.g. error 0 0x102 (0xE1)\n"
        "  debug S TEXT            debug text of up to 4 characters (0xE2)\n"
        "  debugnum S VALUE        debug number (0xE3)\n"
        "  mute S | unmute S       the shield stops / starts answering\n"
        "  corrupt S N [crc|idle]  bus noise: every Nth frame each way has one byte of its first\n"
        "                          8 changed, the start byte included (0: off); with crc only\n"
        "                          the CRC of frames with content, so the link never restarts;\n"
        "                          with idle only the shield's replies that say nothing\n"
        "  busy S on|off           dial and phone-detect replies say busy\n"
        "  lostinit S              the next ping reply reports lost initialisation\n"
        "  spoil S                 the next reply the shield sends has a bad CRC (once)\n"
        "  loopback S on|off       audio to the host is the host's own audio (else a test tone)\n"
        "  bootloader S            the shield restarts into its STM32 bootloader\n"
        "  ack79 S                 the next frame the shield sends begins with 0x79\n"
        "  ack79 S after           the same, once its pending events are acknowledged\n"
        "STM32 bootloader (each shield has a flash: by default 128 KiB in 2 KiB pages, product\n"
        "ID 0x460, holding a factory image that runs; an image runs when its first word is not\n"
        "blank, and declares its firmware number with \"KVTF\" at offset 0x400 followed by the\n"
        "number as a 16-bit little-endian word; a shield starts in its bootloader when its flash\n"
        "is blank or its boot jumper is set, and leaves it by a Go into an image that runs):\n"
        "  blank S                 the flash is erased: the shield restarts in its bootloader\n"
        "  flash S SIZE PAGE [ID]  flash and page size in bytes, the product ID (flash blank)\n"
        "  flashtime S PAGE_MS [WRITE_MS [MASS_MS]]\n"
        "                          busy time of a page erase, a block write, a mass erase\n"
        "  bootjumper S on|off     BOOT0 held high: every start is in the bootloader\n"
        "  protect S FIRST [COUNT] write-protects COUNT pages (default 1) from page FIRST\n"
        "  protect S readout       read-out protection (Read, Write, Go, Erase are refused)\n"
        "  ecc S BYTES|off         flash with error correction: each flash word of BYTES (8 or\n"
        "                          16) is programmed once after an erase; a write over it is\n"
        "                          refused\n"
        "  blfault S KIND CMD [N]  the Nth (default 1) bootloader command CMD from now (get,\n"
        "                          version, id, read, go, write, erase) fails: KIND nack (it is\n"
        "                          refused), lose (one byte of its address or data is lost),\n"
        "                          timeout (it is never answered), ackloss (a write, erase or\n"
        "                          Go is done but its last acknowledge is lost) or stop (the\n"
        "                          chip answers nothing more until it restarts)\n"
        "  status                  one line per shield\n"
        "  wait MS                 (scenario files) pause MS milliseconds\n"
        "  repeat                  (scenario files) play the file again from the top\n"
        "  help                    this text\n"
        "Lines starting with # are comments.");
}

bool SimControl::parseShield(const QStringList &words, int at, int *shield, QString *answer) const
{
    quint32 value = 0;
    if (at >= words.size() || !parseNumber(words.at(at), &value) || value > 5) {
        *answer = QStringLiteral("no shield address 0-5 in \"") + words.join(QLatin1Char(' ')) +
                  QLatin1Char('"');
        return false;
    }
    *shield = static_cast<int>(value);
    return true;
}

QString SimControl::status() const
{
    QStringList lines;
    for (int s = 0; s < 6; ++s) {
        ShieldModel &m = board->shield(s);
        lines << QStringLiteral("shield %1: %2, audio %3, intercom %4, %5 commands executed, "
                                "%6 events acknowledged, %7 pending")
                     .arg(s)
                     .arg(m.inBootloader()
                              ? QStringLiteral("in bootloader")
                              : QStringLiteral("running, firmware %1").arg(m.firmware()))
                     .arg(m.audioOn() ? QStringLiteral("on") : QStringLiteral("off"))
                     .arg(m.intercom())
                     .arg(m.executedCommands().size())
                     .arg(m.acknowledgedEvents().size())
                     .arg(m.pendingEvents());
    }
    return lines.join(QLatin1Char('\n'));
}

bool SimControl::execute(const QString &line, QString *answer)
{
    answer->clear();
    if (isBlank(line))
        return true;
    const QStringList w = line.simplified().split(QLatin1Char(' '));
    const QString &verb = w.first();
    if (verb == QLatin1String("help")) {
        *answer = help();
        return true;
    }
    if (verb == QLatin1String("status")) {
        *answer = status();
        return true;
    }
    if (verb == QLatin1String("wait")) {
        *answer = QStringLiteral("wait belongs in scenario files");
        return waitMs(line) >= 0;
    }
    if (verb == QLatin1String("repeat")) {
        *answer = QStringLiteral("repeat belongs in scenario files");
        return isRepeat(line);
    }

    int s = 0;
    if (!parseShield(w, 1, &s, answer))
        return false;
    ShieldModel &shield = board->shield(s);
    quint32 a = 0;
    quint32 b = 0;
    const bool hasA = w.size() > 2 && parseNumber(w.at(2), &a);
    const bool hasB = w.size() > 3 && parseNumber(w.at(3), &b);
    bool flag = false;
    const bool hasFlag = w.size() > 2 && parseOnOff(w.at(2), &flag);
    const auto need = [&](bool ok, const char *what) {
        if (!ok)
            *answer = QStringLiteral("usage: ") + verb + QLatin1Char(' ') + QLatin1String(what);
        return ok;
    };

    if (verb == QLatin1String("dial")) {
        if (!need(hasA && a <= 0xFFFF, "S NUMBER [INDEX]"))
            return false;
        shield.raiseDial(static_cast<quint16>(a), static_cast<quint8>(hasB ? b : 0));
    } else if (verb == QLatin1String("key")) {
        if (!need(hasA && a <= 0xFFFF, "S VALUE [INDEX]"))
            return false;
        shield.raiseKey(static_cast<quint16>(a), static_cast<quint8>(hasB ? b : 0));
    } else if (verb == QLatin1String("pickup")) {
        shield.raiseEvent(eventPickup, 0);
    } else if (verb == QLatin1String("open")) {
        shield.raiseEvent(eventOpen, 0);
    } else if (verb == QLatin1String("hangup") || verb == QLatin1String("drop")) {
        shield.raiseEvent(eventHangup, 0);
    } else if (verb == QLatin1String("pickupaudio")) {
        shield.raiseEvent(eventPickupAudio, 0);
    } else if (verb == QLatin1String("phone")) {
        if (!need(hasA && a <= 0xFF, "S RESULT"))
            return false;
        shield.raiseEvent(eventPhone, a);
    } else if (verb == QLatin1String("loop")) {
        if (!need(hasA, "S VALUE"))
            return false;
        shield.raiseEvent(eventLoop, a);
    } else if (verb == QLatin1String("error")) {
        if (!need(hasA, "S CODE"))
            return false;
        shield.raiseEvent(eventError, a);
    } else if (verb == QLatin1String("debugnum")) {
        if (!need(hasA, "S VALUE"))
            return false;
        shield.raiseEvent(eventDebugNumber, a);
    } else if (verb == QLatin1String("debug")) {
        if (!need(w.size() > 2, "S TEXT"))
            return false;
        // Characters go out as the shield sends them: the first in byte 5, then 4, 3, 2.
        const QByteArray text = w.at(2).toLatin1().left(4);
        quint32 payload = 0;
        for (int i = 0; i < text.size(); ++i)
            payload |= quint32(static_cast<quint8>(text.at(i))) << (8 * i);
        shield.raiseEvent(eventDebugText, payload);
    } else if (verb == QLatin1String("mute") || verb == QLatin1String("unmute")) {
        shield.setMute(verb == QLatin1String("mute"));
    } else if (verb == QLatin1String("corrupt")) {
        static const QMap<QString, ShieldModel::Noise> kinds = {
            {QString(), ShieldModel::Noise::AnyByte},
            {QStringLiteral("crc"), ShieldModel::Noise::CrcOnly},
            {QStringLiteral("idle"), ShieldModel::Noise::IdleOnly}};
        const QString kind = w.size() == 4 ? w.at(3) : QString();
        if (!need(hasA && a <= 1000000 && w.size() <= 4 && kinds.contains(kind), "S N [crc|idle]"))
            return false;
        shield.setCorruptEvery(static_cast<int>(a), kinds.value(kind));
    } else if (verb == QLatin1String("busy")) {
        if (!need(hasFlag, "S on|off"))
            return false;
        shield.setBusy(flag);
    } else if (verb == QLatin1String("loopback")) {
        if (!need(hasFlag, "S on|off"))
            return false;
        shield.setLoopback(flag);
    } else if (verb == QLatin1String("lostinit")) {
        shield.setLostInit(true);
    } else if (verb == QLatin1String("spoil")) {
        shield.spoilNextReply();
    } else if (verb == QLatin1String("bootloader")) {
        shield.enterBootloader();
    } else if (verb == QLatin1String("ack79")) {
        const bool after = w.size() == 3 && w.at(2) == QLatin1String("after");
        if (!need(w.size() == 2 || after, "S [after]"))
            return false;
        after ? shield.sendBootloaderAckAfterEvents() : shield.sendBootloaderAck();
    } else if (verb == QLatin1String("blank")) {
        shield.eraseFlash();
    } else if (verb == QLatin1String("flash")) {
        quint32 id = 0;
        const bool hasId = w.size() > 4 && parseNumber(w.at(4), &id);
        if (!need(hasA && hasB && a >= 1024 && a <= 16 * 1024 * 1024 && b >= 8 && a % b == 0 &&
                      (w.size() == 4 || (hasId && id <= 0xFFFF)),
                  "S SIZE PAGE [ID] (SIZE a multiple of PAGE, 1 KiB to 16 MiB)"))
            return false;
        BootloaderModel::Config config;
        config.flashSize = a;
        config.pageSize = b;
        if (hasId)
            config.productId = static_cast<quint16>(id);
        shield.configureFlash(config);
    } else if (verb == QLatin1String("flashtime")) {
        quint32 mass = 0;
        const bool hasMass = w.size() > 4 && parseNumber(w.at(4), &mass);
        if (!need(hasA && a <= 60000 && (w.size() == 3 || (hasB && b <= 60000)) &&
                      (w.size() <= 4 || (hasMass && mass <= 120000)),
                  "S PAGE_MS [WRITE_MS [MASS_MS]]"))
            return false;
        shield.setBusyTimes(static_cast<int>(a), hasB ? static_cast<int>(b) : 0,
                            hasMass ? static_cast<int>(mass) : static_cast<int>(20 * a));
    } else if (verb == QLatin1String("bootjumper")) {
        if (!need(hasFlag, "S on|off"))
            return false;
        shield.setBootJumper(flag);
    } else if (verb == QLatin1String("protect")) {
        if (w.size() == 3 && w.at(2) == QLatin1String("readout")) {
            shield.setReadoutProtection(true);
        } else {
            if (!need(hasA && (w.size() == 3 || (w.size() == 4 && hasB)),
                      "S FIRST [COUNT] | S readout"))
                return false;
            shield.protectPages(a, hasB ? b : 1);
        }
    } else if (verb == QLatin1String("ecc")) {
        const bool off = w.size() == 3 && w.at(2) == QLatin1String("off");
        if (!need(w.size() == 3 && (off || (hasA && (a == 8 || a == 16))), "S 8|16|off"))
            return false;
        shield.setErrorCorrection(off ? 0 : static_cast<int>(a));
    } else if (verb == QLatin1String("blfault")) {
        static const std::map<QString, BootloaderModel::Fault> kinds = {
            {QStringLiteral("nack"), BootloaderModel::Fault::Nack},
            {QStringLiteral("lose"), BootloaderModel::Fault::LoseByte},
            {QStringLiteral("timeout"), BootloaderModel::Fault::Timeout},
            {QStringLiteral("ackloss"), BootloaderModel::Fault::AckLost},
            {QStringLiteral("stop"), BootloaderModel::Fault::Stop}};
        quint32 nth = 1;
        const int code = w.size() > 3 ? BootloaderModel::commandCode(w.at(3)) : -1;
        if (!need(w.size() >= 4 && w.size() <= 5 && kinds.count(w.at(2)) && code >= 0 &&
                      (w.size() == 4 || (parseNumber(w.at(4), &nth) && nth >= 1)),
                  "S nack|lose|timeout|ackloss|stop get|version|id|read|go|write|erase [N]"))
            return false;
        shield.injectBootloaderFault(kinds.at(w.at(2)), static_cast<quint8>(code),
                                     static_cast<int>(nth));
    } else {
        *answer = QStringLiteral("unknown command \"") + verb + QStringLiteral("\" (try help)");
        return false;
    }
    return true;
}
