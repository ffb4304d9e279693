#include "shield-sim/simcontrol.h"

#include "shield-sim/shieldcommands.h"

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
    if (at >= words.size() || !ShieldCommands::parseNumber(words.at(at), &value) || value > 5) {
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
        lines << QStringLiteral(
                     "shield %1: %2, audio %3, intercom %4, %5 commands executed, "
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
    const ShieldCommands::Handler handler = ShieldCommands::handler(verb);
    if (!handler) {
        *answer = QStringLiteral("unknown command \"") + verb + QStringLiteral("\" (try help)");
        return false;
    }
    return handler(ShieldCommands::read(w, answer), board->shield(s));
}
